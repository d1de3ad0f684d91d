// Many runs at once, runs killed mid-rewrite, and a full disk.
#include <gtest/gtest.h>
