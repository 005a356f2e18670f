#include "fileformats.h"
