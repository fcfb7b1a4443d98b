#include "transport/tcp_server.h"
