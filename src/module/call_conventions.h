// What every entry point of tonesift shares, one header for the three source folders: the owning
// reference, lifetimes, the process-wide constants that start-up builds, failure sites with their
// traceback entries, the float and integer conversions, argument binding for both calling
// flavours, the function objects, and the few hooks start-up takes from each folder. Each concern
// is a header of its own below.
#pragma once

#include "ref.h"

#include "binding.h"
#include "compat.h"
#include "constants.h"
#include "conversions.h"
#include "failure_sites.h"
#include "function_objects.h"
#include "lifetime.h"
#include "start_up_hooks.h"
