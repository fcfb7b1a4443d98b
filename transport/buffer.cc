#include "transport/buffer.h"
