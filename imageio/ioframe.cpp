#include "ioframe.h"
