// Configures the diagnostic log during the static initialisation of the
// module it is linked into (Win32-only). It belongs to Pelorus.dll (and to
// the test programs that stand in for it), not to the implementation
// library: white-box tests of other code must not rotate log files.
#include "support/diag_log.h"

namespace {

struct DiagLogStartup {
  DiagLogStartup() noexcept { StartDiagLog(); }
};

const DiagLogStartup g_diagLogStartup;

}  // namespace
