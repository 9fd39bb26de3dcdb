// Kept for the files that still name it; everything is in engine_test_support.h.
#pragma once
#include "tests/engine_test_support.h"
