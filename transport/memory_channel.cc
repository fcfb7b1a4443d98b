#include "transport/memory_channel.h"
