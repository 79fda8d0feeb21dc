// Removed once the serial layer's own tests land.
#include <gtest/gtest.h>
