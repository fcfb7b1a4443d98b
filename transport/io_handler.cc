#include "transport/io_handler.h"
