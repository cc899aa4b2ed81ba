// Deep-link attribution: campaign values from the URL that opened the application.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Save/ZEVSiteDeepLinkModel.h"

#include <string_view>
#include <vector>

namespace {

// Splits on every occurrence of `separator`: k separators give k+1 pieces, empty ones
// included; a text without the separator is one piece.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    std::size_t at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

void recordCampaignValues(ZEVSiteDeepLinkModel& record, std::string_view url) {
  std::vector<std::string_view> pieces = split(url, '?');
  if (pieces.size() < 2) return;
  // Every piece counts, the text before the first "?" included; the last occurrence wins.
  for (std::string_view piece : pieces) {
    for (std::string_view pair : split(piece, '&')) {
      std::vector<std::string_view> parts = split(pair, '=');
      if (parts.size() < 2) continue;
      if (parts[0] == "qx_ca") {
        record.setQxc(std::string(parts[1]));
      } else if (parts[0] == "qx_sp") {
        record.setQxs(std::string(parts[1]));
      }
    }
  }
}

}  // namespace

void ZEVSiteManager::handleOpenURL(ZEVSiteText url) {
  if (!url) return;
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  try {
    if (!ZEVSiteSupport::isTrackingEnabled()) return;  // opted out: no campaign is kept
    std::lock_guard lock(record.lock());
    recordCampaignValues(record, *url);
    if (!record.qxs() || !record.qxc()) return;
    bool repeated = record.qxs() == record.lastQxs() && record.qxc() == record.lastQxc();
    if (repeated) {
      record.setDeepLinkInit(false);
      return;
    }
    record.setDeepLinkInit(true);
    record.setDeepLinkPacket(false);
    record.setLastQxc(record.qxc());
    record.setLastQxs(record.qxs());
    if (record.SdkInit()) {
      if (auto manager = shareInstance()) manager->appStartRequest();
    }
  } catch (const std::exception&) {
    // Discarded: values already recorded stay recorded.
  }
}
