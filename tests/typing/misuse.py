# Misuse that the type stub must reject, one error per line marked below.
import numpy as np

import tonesift
import tonesift_image
from tonesift import Skin

Skin("a", 1, 0, 10, 20, 0)  # error: str for skin_id
tonesift.tonesift("200", 150, 120)  # error: str for r
flag: str = tonesift.tonesift(1, 2, 3)  # error: bool is not str
Skin(1, 1, 0, 10, 20)  # error: checked missing
Skin(1, 1, 0, 10, 20, 0).colour = 1  # error: no such attribute
Skin(1, 1, 0, 10, 20, 0)._replace(skin_id=3)  # error: no such keyword
tonesift.tonesift(None, 150, 120)  # error: None for r
Skin(1, 1, 0, 10, 20, 0).x = "5"  # error: str for a field
Skin(1, 1, 0, 10, 20, 0).y = None  # error: None for a field
Skin(1, 1, 0, 10, 20, 0)._replace(None)  # error: None for region
text: str = Skin(1, 1, 0, 10, 20, 0).x  # error: a field reads as int
tonesift_image.skin_regions(np.zeros((2, 2)), connectivity="8")  # error: connectivity is an int
