// Deep-link attribution: campaign values from the URL that opened the application.
#include <ZEVSiteSDK/ZEVSiteManager.h>

#include <ZEVSiteSDK/ZEVSiteLoger.h>
#include <ZEVSiteSDK/ZEVSiteSupport.h>

#include "Save/ZEVSiteDeepLinkModel.h"

#include <string_view>
#include <vector>

namespace {

// Longer URLs are ignored: no campaign needs them, and parsing them would cost the host.
constexpr std::size_t kMaxURLBytes = 64 * 1024;
// Longest campaign value kept, so that a start-up event carrying two of them (each at most
// three times as long once percent-encoded) always stays within the upload limit.
constexpr std::size_t kMaxCampaignValueBytes = 1024;

bool isUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// `value` cut to at most kMaxCampaignValueBytes, on a UTF-8 character boundary and never
// inside a %XX escape, with a log line when it was cut.
std::string campaignValue(std::string_view value) {
  if (value.size() <= kMaxCampaignValueBytes) return std::string(value);
  std::size_t end = kMaxCampaignValueBytes;
  while (end > 0 && isUtf8Continuation(value[end])) --end;
  if (end >= 1 && value[end - 1] == '%') {
    end -= 1;
  } else if (end >= 2 && value[end - 2] == '%') {
    end -= 2;
  }
  ZEVSiteLoger::adLog("[Site] deep-link campaign value of %@ bytes cut to %@ bytes", value.size(),
                      end);
  return std::string(value.substr(0, end));
}

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

void recordCampaignValues(ZEVSiteDeepLinkModel& record, std::string_view url)
    ZEVSITE_REQUIRES(record.lock()) {
  std::vector<std::string_view> pieces = split(url, '?');
  if (pieces.size() < 2) return;
  // Every piece counts, the text before the first "?" included; the last occurrence wins.
  for (std::string_view piece : pieces) {
    for (std::string_view pair : split(piece, '&')) {
      std::vector<std::string_view> parts = split(pair, '=');
      if (parts.size() < 2) continue;
      if (parts[0] == "qx_ca") {
        record.setQxc(campaignValue(parts[1]));
      } else if (parts[0] == "qx_sp") {
        record.setQxs(campaignValue(parts[1]));
      }
    }
  }
}

}  // namespace

void ZEVSiteManager::handleOpenURL(ZEVSiteText url) {
  if (!url) return;
  auto& record = ZEVSiteDeepLinkModel::shareInstance();
  try {
    // Opted out: no campaign is kept, and nothing is logged about the URL either.
    if (!ZEVSiteSupport::isTrackingEnabled()) return;
    if (url->size() > kMaxURLBytes) {
      ZEVSiteLoger::adLog("[Site] deep-link URL of %@ bytes ignored: longer than %@ bytes",
                          url->size(), kMaxURLBytes);
      return;
    }
    zevsite::RecursiveMutexLock lock(record.lock());
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
