// The host's network: gzip upload bodies, a proxy for every request, a CA bundle instead
// of the system's store, and the dispatch interval.
#include "Config/ZEVSiteConfigRefresh.h"
#include "Network/ZEVSiteGzip.h"
#include "Network/ZEVSiteHTTPClient.h"
#include "Network/ZEVSiteNetworkSettings.h"
#include "Platform/ZEVSiteURLFetch.h"
#include "ZEVSiteRecordingCollector.h"
#include "ZEVSiteTestSupport.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A self-signed certificate for 127.0.0.1 (its own authority), written as PEM files.
struct TestCertificate {
  std::string certificateFile;
  std::string keyFile;
};

TestCertificate makeCertificate(const std::string& directory, const std::string& name) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert),
                   static_cast<long>(std::hash<std::string>{}(name)&0xffffff));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, subject);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                            std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_subject_key_identifier, "hash"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(cert, key, EVP_sha256());
  TestCertificate files{directory + "/" + name + ".pem", directory + "/" + name + ".key"};
  FILE* out = std::fopen(files.certificateFile.c_str(), "w");
  PEM_write_X509(out, cert);
  std::fclose(out);
  out = std::fopen(files.keyFile.c_str(), "w");
  PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

// A forwarding HTTP proxy on loopback: takes absolute-form requests, records them and
// passes them on (bodies as the proxy's server inflated them).
class LoopbackProxy {
 public:
  struct Seen {
    std::string method;
    std::string target;
    std::string proxyAuthorization;
    std::string contentEncoding;
  };

  LoopbackProxy() {
    auto forward = [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        seen_.push_back({request.method, request.path,
                         request.get_header_value("Proxy-Authorization"),
                         request.get_header_value("Content-Encoding")});
      }
      std::smatch parts;
      static const std::regex absolute(R"(http://([^/:]+):(\d+)(/.*))");
      if (!std::regex_match(request.path, parts, absolute)) {
        response.status = 400;
        return;
      }
      httplib::Client upstream(parts[1].str(), std::stoi(parts[2].str()));
      auto answer = request.method == "POST"
                        ? upstream.Post(parts[3].str(), request.body,
                                        request.get_header_value("Content-Type"))
                        : upstream.Get(parts[3].str());
      if (!answer) {
        response.status = 502;
        return;
      }
      response.status = answer->status;
      response.set_content(answer->body, answer->get_header_value("Content-Type"));
    };
    server_.set_keep_alive_timeout(1);  // so stop() does not wait long for an idle client
    server_.Get(".*", forward);
    server_.Post(".*", forward);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~LoopbackProxy() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& userInfo = "") const {
    return "http://" + userInfo + "127.0.0.1:" + std::to_string(port_);
  }
  std::vector<Seen> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;  // the server's accept loop
  std::mutex mutex_;    // guards seen_ (written on the server's threads)
  std::vector<Seen> seen_;
};

const char* kConfigDocument =
    "<config><offlineCache><length>500</length><queueExpirationSecs>86400</queueExpirationSecs>"
    "<timeout>5</timeout></offlineCache><SDKConfig><idfa>false</idfa></SDKConfig></config>";

}  // namespace

class ZEVSiteNetworkOptionsTest : public ZEVSiteTest {
 protected:
  void SetUp() override {
    ZEVSiteTest::SetUp();
    // The writer, the sender and the configuration refresh run on this thread, inside flush,
    // runUntilIdle and the clock's moves.
    platform_->driveWorkers();
    ZEVSiteNetworkStatusSimple::setProvider([] { return ZEVSiteNetworkStatus_WiFi; });
    // A slow answer on a busy machine must not time out: a timeout waits out its backoff on
    // the manual clock, which only a test that moves it ends.
    ZEVSiteSupport::setRequestTimeout(30s);
    ::unsetenv("http_proxy");
    ::unsetenv("HTTPS_PROXY");
    ::unsetenv("https_proxy");
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
  }
  void TearDown() override {
    ZEVSiteSupport::shutdown(5s);
    collector_.stop();
    ZEVSiteNetworkStatusSimple::setProvider(nullptr);
    ZEVSiteTest::TearDown();
  }
  std::shared_ptr<ZEVSiteManager> startManager(const std::string& collectURL) {
    ZEVSiteSupport::setCollectURL(collectURL);
    auto manager = ZEVSiteManager::sharedInstanceWithAppId("123", "store");
    platform_->runUntilIdle();
    return manager;
  }
  static void trackPages(ZEVSiteManager& manager, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) manager.trackPageView(prefix + std::to_string(i));
  }
  static std::multiset<std::string> titlesOf(
      const std::vector<zevsite::collector::CollectedEvent>& events) {
    std::multiset<std::string> titles;
    for (const auto& event : events) titles.insert(event.get("dt"));
    return titles;
  }

  ZEVSiteRecordingCollector collector_;
};

// A compressed batch inflates to exactly the plain one; uploads are gzip by default and
// plain once compression is off, and the collector keeps the same events either way.
TEST_F(ZEVSiteNetworkOptionsTest, CompressedAndPlainUploadsCarryTheSameEvents) {
  std::vector<std::string> uploads;
  for (int i = 0; i < 100; ++i) {
    uploads.push_back("dt=Page%20" + std::to_string(i) +
                      "&ni=0&tid=dc-123&t=pageview&v=1&cid=4242&eid=0190&ts=1700000000000");
  }
  zevsite::HttpRequest plain = zevsite::buildUploadRequest("http://c/collect", uploads);
  zevsite::HttpRequest gzipped = zevsite::buildUploadRequest("http://c/collect", uploads, true);
  EXPECT_EQ(gunzipped(gzipped.body), plain.body);
  EXPECT_LT(gzipped.body.size() * 4, plain.body.size());
  EXPECT_EQ(std::count(gzipped.headers.begin(), gzipped.headers.end(), "Content-Encoding: gzip"),
            1);
  for (const auto& header : plain.headers) {
    EXPECT_EQ(header.find("Content-Encoding"), std::string::npos);
  }
  EXPECT_EQ(gunzipped(*zevsite::net::gzipCompress("")), "");

  auto manager = startManager(collector_.start());
  trackPages(*manager, "zipped", 50);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 50u);
  const std::size_t zippedBytes = collector_.bodyBytesReceived();
  ZEVSiteSupport::setCompression(false);
  trackPages(*manager, "plain", 50);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 100u);
  const std::size_t plainBytes = collector_.bodyBytesReceived() - zippedBytes;
  EXPECT_LT(zippedBytes * 2, plainBytes);

  auto requests = collector_.requests();
  auto encodings = collector_.contentEncodings();
  ASSERT_EQ(requests.size(), encodings.size());
  std::size_t plainRequests = 0;
  for (const auto& encoding : encodings) plainRequests += encoding.empty();
  EXPECT_GE(plainRequests, 1u);
  EXPECT_GE(encodings.size() - plainRequests, 1u);
  EXPECT_EQ(encodings.front(), "gzip");
  EXPECT_EQ(encodings.back(), "");
  // Every request names the SDK, its version and the system.
  for (const auto& agent : collector_.userAgents()) {
    EXPECT_EQ(
        agent.rfind("ZEVSiteSDK/" + std::string(ZEVSiteSupport::sdkVersion()) + " (Linux ", 0), 0u)
        << agent;
  }
  auto titles = titlesOf(collector_.events());
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(titles.count("zipped" + std::to_string(i)), 1u);
    EXPECT_EQ(titles.count("plain" + std::to_string(i)), 1u);
  }
  EXPECT_EQ(collector_.duplicates(), 0u);
}

// The host's proxy carries uploads and the configuration download, with its credentials,
// even for hosts no_proxy names; without one the environment decides, and an empty one
// means a direct connection whatever the environment says.
TEST_F(ZEVSiteNetworkOptionsTest, UploadsAndTheConfigurationGoThroughTheHostsProxy) {
  collector_.serveConfig(kConfigDocument);
  const std::string collectURL = collector_.start();
  const std::string configURL = collectURL.substr(0, collectURL.rfind('/')) + "/sdk-config.xml";
  LoopbackProxy proxy;
  ::setenv("no_proxy", "127.0.0.1,localhost", 1);
  ZEVSiteSupport::setProxy(proxy.url("zev:s%40cret@"));

  auto manager = startManager(collectURL);
  trackPages(*manager, "proxied", 5);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 5u);
  manager->configFromUrl(configURL);
  platform_->runUntilIdle();  // starts and runs the refresh, which downloads through the proxy
  ASSERT_TRUE(zevsite::ConfigRefresh::shared().waitIdle(platform_->monotonicNow()));
  EXPECT_TRUE(std::filesystem::exists(home_ + "/Library/SDK_CONFIG_DATA_KEY"));

  auto seen = proxy.seen();
  std::size_t uploads = 0, downloads = 0;
  for (const auto& request : seen) {
    EXPECT_EQ(request.proxyAuthorization, "Basic emV2OnNAY3JldA==");  // zev:s@cret
    if (request.method == "POST") {
      EXPECT_EQ(request.target, collectURL);
      EXPECT_EQ(request.contentEncoding, "gzip");
      ++uploads;
    } else {
      EXPECT_EQ(request.target, configURL);
      ++downloads;
    }
  }
  EXPECT_GE(uploads, 1u);
  EXPECT_EQ(downloads, 1u);
  EXPECT_EQ(collector_.configRequests(), 1u);

  // No proxy set: libcurl's environment variables.
  ::unsetenv("no_proxy");
  ::setenv("http_proxy", proxy.url().c_str(), 1);
  ZEVSiteSupport::setProxy(std::nullopt);
  manager->trackPageView("from-environment");
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 6u);
  EXPECT_GT(proxy.seen().size(), seen.size());
  // An empty proxy: straight to the collector, although the environment names a proxy.
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);
  ZEVSiteSupport::setProxy("");
  const std::size_t proxiedBefore = proxy.seen().size();
  manager->trackPageView("direct");
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(collector_.eventCount(), 7u);
  EXPECT_EQ(proxy.seen().size(), proxiedBefore);
  auto titles = titlesOf(collector_.events());
  EXPECT_EQ(titles.count("from-environment"), 1u);
  EXPECT_EQ(titles.count("direct"), 1u);
}

// An https collector with a self-signed certificate is refused by default, with a bogus
// bundle and with another authority's bundle, and on a host name the certificate does not
// name; the bundle naming its certificate lets uploads and downloads through.
TEST_F(ZEVSiteNetworkOptionsTest, HttpsNeedsTheCABundleAndVerificationStaysOn) {
  const std::string certificates = makeTemporaryDirectory();
  TestCertificate ours = makeCertificate(certificates, "collector");
  TestCertificate other = makeCertificate(certificates, "other");
  ZEVSiteRecordingCollector https(ours.certificateFile, ours.keyFile);
  https.serveConfig(kConfigDocument);
  const std::string collectURL = https.start();
  ASSERT_EQ(collectURL.rfind("https://127.0.0.1:", 0), 0u);
  const std::string configURL = collectURL.substr(0, collectURL.rfind('/')) + "/sdk-config.xml";
  zevsite::FetchLimits limits;
  limits.totalTimeout = 2s;

  auto manager = startManager(collectURL);
  trackPages(*manager, "secure", 3);
  for (ZEVSiteText bundle : {ZEVSiteText{}, ZEVSiteText{certificates + "/missing.pem"},
                             ZEVSiteText{other.certificateFile}}) {
    ZEVSiteSupport::setCABundle(bundle);
    ASSERT_TRUE(ZEVSiteSupport::flush(5s));
    EXPECT_EQ(https.eventCount(), 0u) << bundle.value_or("system store");
    limits.network = zevsite::net::proxyAndTrust();
    EXPECT_FALSE(zevsite::net::fetchURL(configURL, limits)) << bundle.value_or("system store");
  }
  EXPECT_EQ(storedUploads().size(), 3u);

  ZEVSiteSupport::setCABundle(ours.certificateFile);
  limits.network = zevsite::net::proxyAndTrust();
  std::string localhost = configURL;
  localhost.replace(localhost.find("127.0.0.1"), 9, "localhost");
  EXPECT_FALSE(zevsite::net::fetchURL(localhost, limits));  // the name is checked too
  EXPECT_EQ(zevsite::net::fetchURL(configURL, limits).value_or(""), kConfigDocument);
  ASSERT_TRUE(ZEVSiteSupport::flush(5s));
  ASSERT_EQ(https.eventCount(), 3u);
  EXPECT_EQ(titlesOf(https.events()).count("secure2"), 1u);
  EXPECT_EQ(storedUploads().size(), 0u);
  ZEVSiteSupport::shutdown(5s);
  https.stop();
  std::filesystem::remove_all(certificates);
}

#ifdef ZEVSITE_COLLECTOR_PROGRAM
// The standalone collector serves HTTPS with --tls-cert and --tls-key, and the SDK delivers to
// it trusting the test's own authority through setCABundle.
TEST_F(ZEVSiteNetworkOptionsTest, TheStandaloneCollectorServesHttps) {
  const std::string directory = makeTemporaryDirectory();
  TestCertificate ours = makeCertificate(directory, "collector");
  ZEVSiteChild child = spawnChild(ZEVSITE_COLLECTOR_PROGRAM,
                                  {"--port", "0", "--db", "sqlite:" + directory + "/c.sqlite",
                                   "--tls-cert", ours.certificateFile, "--tls-key", ours.keyFile},
                                  /*readOutput=*/true);
  ASSERT_GT(child.pid, 0);
  // The child's output, line by line; nothing once it has closed it (it ended).
  std::string pending;
  auto nextLine = [&]() -> std::optional<std::string> {
    for (;;) {
      if (const auto end = pending.find('\n'); end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
      }
      char buffer[4096];
      const ssize_t n = ::read(child.outputFd, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      pending.append(buffer, static_cast<std::size_t>(n));
    }
  };
  const auto banner = nextLine();
  ASSERT_TRUE(banner);
  std::smatch match;
  ASSERT_TRUE(
      std::regex_search(*banner, match, std::regex(R"(https://127\.0\.0\.1:[0-9]+/collect)")))
      << *banner;
  const std::string collectURL = match[0];

  ZEVSiteSupport::setCABundle(ours.certificateFile);
  auto manager = startManager(collectURL);
  trackPages(*manager, "over-tls", 2);
  ASSERT_TRUE(ZEVSiteSupport::flush(10s));
  // The collector prints each event it stores, before it answers: the lines are there.
  int printed = 0;
  while (printed < 2) {
    const auto line = nextLine();
    ASSERT_TRUE(line) << "the collector printed " << printed << " of the 2 events";
    if (line->find("dt=over-tls") != std::string::npos) ++printed;
  }
  EXPECT_EQ(storedUploads().size(), 0u);
  ZEVSiteSupport::shutdown(5s);
  ::kill(child.pid, SIGTERM);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ::close(child.outputFd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::filesystem::remove_all(directory);
}
#endif
