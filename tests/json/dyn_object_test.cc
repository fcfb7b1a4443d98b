#include "json/dyn_object.h"
