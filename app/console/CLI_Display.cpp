#include "CLI_Display.h"
