#include "transport/stack.h"
