#include "json/integer_text.h"
