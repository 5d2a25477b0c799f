// The sweep as CI systems read test results: JUnit XML, one test case per run.
#pragma once
#include <string>

#include "sweep/plan.h"

namespace velmora::devservice {

// report.junit.xml: one test suite named for the sweep, one test case per run (its name the
// call and the fault, its class the host). A crashed or hung run is a <failure> naming the
// verdict, how the run ended and its output file; the others pass, an absorbed one with a
// <system-out> line that asks for a look, since going on as if nothing failed is not always
// right. Texts are escaped for XML, and what XML 1.0 cannot hold becomes U+FFFD.
std::string ReportJUnit(const SweepReport& report);

}  // namespace velmora::devservice
