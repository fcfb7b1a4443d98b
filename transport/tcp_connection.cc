#include "transport/tcp_connection.h"
