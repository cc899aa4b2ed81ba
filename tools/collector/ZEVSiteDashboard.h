// The collector's dashboard: GET / (one HTML page), /dashboard.js, /dashboard.css, and
// /chart.js, Chart.js as Debian's libjs-chart.js installs it, so the page works offline.
// The page, script and stylesheet are compiled into the collector from tools/collector/
// dashboard/. Routes are added by the collector before its server starts; handlers run on
// the server's threads and only read what was loaded here.
#pragma once

#include <string>

namespace zevsite::collector {

class HttpFront;

// Where libjs-chart.js installs the minified UMD build of Chart.js.
inline constexpr const char* kChartJsPath = "/usr/share/javascript/chart.js/chart.min.js";

// Adds the dashboard's routes to `server`. Chart.js is read from `chartJsPath` now; when it
// is missing, /chart.js answers 404 and the page shows its numbers without charts.
void serveDashboard(HttpFront& server, const std::string& chartJsPath = kChartJsPath);

}  // namespace zevsite::collector
