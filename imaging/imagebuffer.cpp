#include "imagebuffer.h"
