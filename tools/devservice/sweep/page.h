// The sweep's report page: a Mustache template filled with the report's page data. Plain code:
// the page is made and tested without Windows.
#pragma once
#include <string>

namespace velmora::devservice {

// `pageData` is PageData()'s JSON; the template is dist/sweep/report.html.mustache (the sweep
// carries it built in). Values are HTML-escaped. Empty, with the reason, for a bad template.
std::string RenderPage(const std::string& pageTemplate, const std::string& pageData,
                       std::string& error);

}  // namespace velmora::devservice
