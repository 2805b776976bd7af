// The tour's view of a "GetOPLandingPageInfo" answer (portable): sensor
// categories of the hardware monitor and sensor classes of the CPU-Z SDK as
// small tables (name, reading, limits); anything else as indented keys.
#pragma once

#include <string>

#include "pelorus/value_set.h"

namespace orbhost {

std::string RenderLandingPage(const QuonValueSet& response, int indent);

}  // namespace orbhost
