// tovrix-flash's report in text (output.h): standard output the log,
// standard error the errors, the image line, the progress line and the
// waiting note.
#pragma once

#include <iosfwd>
#include <memory>

#include "app/cli/output.h"

namespace tovrix::cli {

std::unique_ptr<Report> MakeTextReport(const ReportSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace tovrix::cli
