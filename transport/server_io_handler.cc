#include "transport/server_io_handler.h"
