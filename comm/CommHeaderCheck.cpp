#include "CommX.h"
