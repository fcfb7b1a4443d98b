#include "transport/buffer.h"

#include <gtest/gtest.h>
