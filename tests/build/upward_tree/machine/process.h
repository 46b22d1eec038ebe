// The process record, over the base services.
#pragma once
#include "base/pbuffer.h"
