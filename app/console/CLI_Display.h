#pragma once
#include "UpdaterDisplayInterface.h"
