"""`python -m tonesift_image`: the tonesift-regions command."""
from .command import console_main

if __name__ == "__main__":
    console_main()
