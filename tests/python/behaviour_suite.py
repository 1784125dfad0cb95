"""The behaviour suite: what another compiler or machine could get wrong in a wheel (every rule,
conversion, error and traceback of the module, the whole-image functions, start-up). It runs
against installed wheels: this machine's (the packaging tests) and aarch64's (./dev
test-aarch64)."""
FILES = ("test_binding.py", "test_conversion.py", "test_classifier.py", "test_record.py",
         "test_function_objects.py", "test_image.py", "test_start_up.py", "test_fuzz.py")
