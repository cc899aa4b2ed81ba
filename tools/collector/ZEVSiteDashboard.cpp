#include "ZEVSiteDashboard.h"

#include "ZEVSiteHttpFront.h"

#include <httplib.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace zevsite::collector {

// Generated from dashboard/ by CMake (ZEVSiteDashboardFiles.cpp).
extern const char* const kDashboardHtml;
extern const char* const kDashboardJs;
extern const char* const kDashboardCss;

namespace {

void serveText(HttpFront& server, const char* path, const char* text, const char* type) {
  server.Get(path, [text, type](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-cache");
    response.set_content(text, type);
  });
}

}  // namespace

void serveDashboard(HttpFront& server, const std::string& chartJsPath) {
  serveText(server, "/", kDashboardHtml, "text/html; charset=utf-8");
  serveText(server, "/dashboard.js", kDashboardJs, "text/javascript; charset=utf-8");
  serveText(server, "/dashboard.css", kDashboardCss, "text/css; charset=utf-8");
  std::ifstream file(chartJsPath, std::ios::binary);
  auto chartJs = std::make_shared<std::string>();
  if (file) {
    std::ostringstream content;
    content << file.rdbuf();
    *chartJs = content.str();
  }
  server.Get(
      "/chart.js", [chartJs, chartJsPath](const httplib::Request&, httplib::Response& response) {
        if (chartJs->empty()) {
          response.status = 404;
          response.set_content(chartJsPath + " is missing: install libjs-chart.js", "text/plain");
          return;
        }
        response.set_content(*chartJs, "text/javascript; charset=utf-8");
      });
}

}  // namespace zevsite::collector
