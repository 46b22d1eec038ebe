// Below pdisk: may include machine and base only.
#include "base/pbuffer.h"
#include "machine/process.h"
#include "pdisk/path.h"
