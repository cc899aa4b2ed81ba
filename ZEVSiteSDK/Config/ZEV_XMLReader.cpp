#include "ZEV_XMLReader.h"

#include <pugixml.hpp>

#include <charconv>
#include <limits>

namespace {

std::string_view trimmed(std::string_view text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Reads an optional whole non-negative decimal field; false when present and invalid.
bool readCount(const pugi::xml_node& section, const char* name, std::int64_t& target) {
  pugi::xml_node field = section.child(name);
  if (!field) return true;
  std::string_view text = trimmed(field.text().get());
  if (text.empty() || text.front() == '+' || text.front() == '-') return false;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  target = value;
  return true;
}

bool readFlag(const pugi::xml_node& section, const char* name, bool& target) {
  pugi::xml_node field = section.child(name);
  if (!field) return true;
  std::string_view text = trimmed(field.text().get());
  if (text == "true" || text == "1") {
    target = true;
  } else if (text == "false" || text == "0") {
    target = false;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::optional<ZEV_SDKConfig> ZEV_XMLReader::sdkConfigWithData(
    const std::optional<std::string>& data) {
  if (!data) return std::nullopt;
  return parse(*data);
}

std::optional<ZEV_SDKConfig> ZEV_XMLReader::parse(std::string_view data) {
  if (data.empty()) return std::nullopt;
  pugi::xml_document document;
  // Default parsing: no DOCTYPE handling, so no entity expansion from the document.
  if (!document.load_buffer(data.data(), data.size(), pugi::parse_default)) return std::nullopt;
  int elements = 0;
  for (const pugi::xml_node& child : document.children()) {
    elements += child.type() == pugi::node_element;
  }
  pugi::xml_node root = document.document_element();
  if (elements != 1 || std::string_view(root.name()) != "config") return std::nullopt;

  ZEV_SDKConfig config;
  pugi::xml_node cache = root.child("offlineCache");
  pugi::xml_node sdk = root.child("SDKConfig");
  if (!readCount(cache, "length", config.offlineCache.length) ||
      !readCount(cache, "queueExpirationSecs", config.offlineCache.queueExpirationSecs) ||
      !readCount(cache, "timeout", config.offlineCache.timeout) ||
      !readFlag(sdk, "idfa", config.SDKConfig.idfa)) {
    return std::nullopt;
  }
  for (const pugi::xml_node& company : root.child("companies").children("company")) {
    pugi::xml_attribute id = company.attribute("id");
    if (id) config.companies.setValue(std::string(company.text().get()), id.value());
  }
  return config;
}
