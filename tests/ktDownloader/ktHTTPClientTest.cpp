#include "ktDownloader/ktHTTPClient.h"

#include "ktLog/ktLog.h"

#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/sharedSetUp.h"
#include "ktTest/tempTree.h"
#include "ktTest/testPki.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace {

using ktTest::CertKind;
using ktTest::ClosedPort;
using ktTest::ConnectProxy;
using ktTest::HttpReply;
using ktTest::HttpsOrigin;

ktTest::TempClientTree* g_tree = nullptr;

// One client tree with the log at debug level, no proxy variables, the test PKI trusted.
class NetEnvironment : public ktTest::SharedSetUp {
public:
    void setUp() override
    {
        m_noProxy = std::make_unique<ktTest::ClearProxyEnv>();
        m_tree = std::make_unique<ktTest::TempClientTree>();
        g_tree = m_tree.get();
        ktTest::TestPki::instance();
        ASSERT_TRUE(ktLogInit());
        g_programName = "ktdiag";
        g_logLevel = KT_LOG_DEBUG;
    }
    void TearDown() override
    {
        m_tree.reset();
        m_noProxy.reset();
    }

private:
    std::unique_ptr<ktTest::ClearProxyEnv> m_noProxy;
    std::unique_ptr<ktTest::TempClientTree> m_tree;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new NetEnvironment);

std::string logText()
{
    return ktTest::readAll(g_tree->publicFolder() + "/ktdebuglog.log");
}

// Every test leaves the process-wide settings as it found them.
class HttpClientTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        setValidatePeerCert(true);
        setStallWindow(std::chrono::seconds(30));
        setOptionFault(nullptr);
        setPeerCertificateCheck(nullptr);
        setHttpUserAgent("ktClient");
    }

    struct Buffer {
        explicit Buffer(std::uint32_t capacity) : bytes(capacity + 1, '\0')
        {
            tb.data = &bytes[0];
            tb.size = capacity;
        }
        std::string text() const { return std::string(tb.data, tb.length); }
        std::string bytes;
        TransferBuffer tb;
    };
};

// --- status line and body size against the result code -------------------------------

TEST_F(HttpClientTest, StatusLineAndBodySizeGiveTheResultCode)
{
    struct Case {
        const char* name;
        HttpReply reply;
        std::uint32_t capacity;
        int rc;
        std::int32_t responseCode;
        std::string body; // received on success
    };
    HttpReply noLength = HttpReply::make("HTTP/1.1 200 OK", "until close");
    noLength.contentLength = false;
    const Case cases[] = {
        {"200 OK", HttpReply::make("HTTP/1.1 200 OK", "hello"), 16, 0, 200, "hello"},
        {"200 without reason phrase", HttpReply::make("HTTP/1.1 200", "hello"), 16, 0, 200,
         "hello"},
        {"201 Created", HttpReply::make("HTTP/1.1 201 Created", "made"), 16, 0, 201, "made"},
        {"203 with a body", HttpReply::make("HTTP/1.1 203 Non-Authoritative Information", "x"), 16,
         -6, 203, ""},
        {"203 without a body", HttpReply::make("HTTP/1.1 203 Non-Authoritative Information"), 16, 0,
         203, ""},
        {"203 whose header text says 200 OK",
         HttpReply::make("HTTP/1.1 203 Non-Authoritative Information", "x",
                         {"X-Note: 200 OK", "X-Other: 201 Created"}),
         16, -6, 203, ""},
        {"404", HttpReply::make("HTTP/1.1 404 Not Found", "missing"), 16, -4, 404, ""},
        {"500 without reason phrase", HttpReply::make("HTTP/1.1 500", "oops"), 16, -4, 500, ""},
        {"401", HttpReply::make("HTTP/1.1 401 Unauthorized", "", {"WWW-Authenticate: Basic"}), 16,
         -5, 401, ""},
        {"407 from the origin", HttpReply::make("HTTP/1.1 407 Proxy Authentication Required"), 16,
         -5, 407, ""},
        {"body of exactly the capacity", HttpReply::make("HTTP/1.1 200 OK", std::string(16, 'a')),
         16, 0, 200, std::string(16, 'a')},
        {"body one byte over the capacity",
         HttpReply::make("HTTP/1.1 200 OK", std::string(17, 'a')), 16, -6, 200, ""},
        {"body without Content-Length", noLength, 16, 0, 200, "until close"},
    };
    HttpsOrigin origin;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        origin.setReply(c.reply);
        Buffer out(c.capacity);
        const int rc = KTHTTPClient::httpGet(origin.url("/x"), out.tb, {}, "", "");
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(out.tb.responseCode, c.responseCode);
        EXPECT_EQ(out.text(), c.body);
        EXPECT_EQ(out.bytes[c.capacity], '\0') << "written past the capacity";
    }
    EXPECT_EQ(origin.requests().size(), std::size(cases));
}

TEST_F(HttpClientTest, NoAnswerIsATransferFailure)
{
    ClosedPort closed;
    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGet("https://" + closed.address() + "/", out.tb, {}, "", ""), -2);
    EXPECT_EQ(out.tb.responseCode, -1);

    // A reply that ends before its announced body.
    HttpsOrigin origin;
    HttpReply cut = HttpReply::make("HTTP/1.1 200 OK", "0123456789");
    cut.headers = {"Connection: close"};
    cut.contentLength = false;
    cut.headers.push_back("Content-Length: 50");
    origin.setReply(cut);
    EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), -2);
}

TEST_F(HttpClientTest, GetSendsTheHeaderLineUserAgentAndRawTarget)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "{}"));
    Buffer out(64);
    const std::string target = "/v1/steering/domains?orgkey=a&b&userkey=k%20y&os=linux";
    ASSERT_EQ(KTHTTPClient::httpGet(origin.url(target), out.tb, {}, "X-Test: one", ""), 0);
    const auto requests = origin.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, target);
    EXPECT_EQ(requests[0].header("X-Test"), "one");
    EXPECT_EQ(requests[0].header("User-Agent"), "ktClient");
    EXPECT_EQ(requests[0].header("Proxy-Authorization"), "");

    setHttpUserAgent("Windows NT 10.0;Kestrani Merivon 93.0.1.944;host");
    ASSERT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), 0);
    EXPECT_EQ(origin.requests().at(1).header("User-Agent"),
              "Windows NT 10.0;Kestrani Merivon 93.0.1.944;host");
}

TEST_F(HttpClientTest, OffersHttp11Only)
{
    HttpsOrigin origin;
    Buffer out(16);
    ASSERT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), 0);
    const auto offers = origin.alpnOffers();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0], std::vector<std::string>{"http/1.1"});
}

TEST_F(HttpClientTest, CapturedHostHeadersAreCleaned)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "body",
                                    {"x-kt-hostname:  node 7 ", "x-kt-hostpop: a m s"}));
    KTHTTPClient client;
    ASSERT_EQ(client.init(false), 0);
    ASSERT_EQ(client.setURL(origin.url()), 0);
    client.writeMode = 5;
    client.captureHostHeaders = true;
    EXPECT_EQ(client.perform(), 0);
    EXPECT_EQ(client.hostName, "node7");
    EXPECT_EQ(client.hostPop, "ams");
    EXPECT_EQ(client.responseCode, 200);

    KTHTTPClient plain;
    ASSERT_EQ(plain.init(false), 0);
    ASSERT_EQ(plain.setURL(origin.url()), 0);
    plain.writeMode = 5;
    EXPECT_EQ(plain.perform(), 0);
    EXPECT_EQ(plain.hostName, "");
}

TEST_F(HttpClientTest, WriteModesWithoutATargetRefuseTheBody)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "body"));
    for (int mode : {0, 1, 4, 9}) {
        SCOPED_TRACE(mode);
        KTHTTPClient client;
        ASSERT_EQ(client.init(false), 0);
        ASSERT_EQ(client.setURL(origin.url()), 0);
        client.writeMode = mode;
        EXPECT_EQ(client.perform(), -6);
    }
    EXPECT_NE(logText().find("write file pointer is NULL"), std::string::npos);
    EXPECT_NE(logText().find("invalid writing mode"), std::string::npos);
}

// --- POST ---------------------------------------------------------------------------

TEST_F(HttpClientTest, CheckPostReply)
{
    struct Case {
        std::string reply;
        bool accepted;
    };
    const Case cases[] = {
        {R"({"status":"success"})", true},
        {R"({"status":"SUCCESS"})", true},
        {R"({"status":"404"})", true},
        {R"({"status":"error"})", false},
        {R"({"status":"failed","detail":"x"})", false},
        {R"({"status":{"code":1}})", false},
        {"OK", true},
        {"", true},
        {R"({"other":"x"})", true},
        {std::string(200, '[') + std::string(200, ']'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        EXPECT_EQ(KTHTTPClient::checkPostReply(c.reply), c.accepted);
    }
}

TEST_F(HttpClientTest, PostSendsTheJsonBodyAndChecksTheReplyStatus)
{
    HttpsOrigin origin;
    const std::string body = R"({"deviceId":"d1","state":"on"})";
    TransferBuffer in;
    std::string bodyBytes = body;
    in.data = &bodyBytes[0];
    in.size = static_cast<std::uint32_t>(body.size());
    const std::string target = "/v2/update/clientstatus?orgkey=o&k&hashkey=u";

    struct Case {
        const char* name;
        HttpReply reply;
        int rc;
    };
    const Case cases[] = {
        {"success", HttpReply::make("HTTP/1.1 200 OK", R"({"status":"success"})"), 0},
        {"201 without a body", HttpReply::make("HTTP/1.1 201 Created"), 0},
        {"status error", HttpReply::make("HTTP/1.1 200 OK", R"({"status":"error"})"), -2},
        {"not JSON", HttpReply::make("HTTP/1.1 200 OK", "OK"), 0},
        {"reply over the capacity", HttpReply::make("HTTP/1.1 200 OK", std::string(300, ' ')), -6},
        {"404", HttpReply::make("HTTP/1.1 404 Not Found"), -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        origin.setReply(c.reply);
        Buffer reply(256);
        EXPECT_EQ(KTHTTPClient::httpPost(origin.url(target), in, &reply.tb, {}, "",
                                         {"Authorization: Bearer t0k", "X-Two: 2"}),
                  c.rc);
    }
    const auto requests = origin.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, target);
    EXPECT_EQ(requests[0].body, body);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer t0k");
    EXPECT_EQ(requests[0].header("X-Two"), "2");
    EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(body.size()));

    // No reply buffer: a scratch one takes the reply.
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", R"({"status":"success"})"));
    EXPECT_EQ(KTHTTPClient::httpPost(origin.url(target), in, nullptr, {}, "", {}), 0);
    EXPECT_EQ(KTHTTPClient::httpPostJson(origin.url(target), in, nullptr, {}, "", {}), 0);
}

TEST_F(HttpClientTest, RedirectsLeadToHttpOnly)
{
    // A plain listener as the target, so a connection made to it shows.
    HttpsOrigin target({false, CertKind::good, false});
    HttpsOrigin origin;
    const std::string port = std::to_string(target.port());
    const std::string locations[] = {"ftp://127.0.0.1:" + port + "/x", "file:///etc/hostname",
                                     "gopher://127.0.0.1:" + port};
    for (const std::string& location : locations) {
        SCOPED_TRACE(location);
        origin.setReply(HttpReply::make("HTTP/1.1 302 Found", "", {"Location: " + location}));
        Buffer out(64);
        EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), -2);
    }
    EXPECT_EQ(target.connectionCount(), 0u);
}

TEST_F(HttpClientTest, ARedirectLoopEndsAfterTenRedirects)
{
    std::string payload(4096, 'p');
    TransferBuffer body;
    body.data = &payload[0];
    body.size = static_cast<std::uint32_t>(payload.size());
    Buffer out(64);
    SpeedTestResult result;
    TransferBuffer none;
    struct Kind {
        const char* name;
        std::function<int(const std::string& url)> request;
        int rc;
        std::size_t requests; // the first and every redirect followed
    };
    const Kind kinds[] = {
        {"GET",
         [&](const std::string& url) { return KTHTTPClient::httpGet(url, out.tb, {}, "", ""); }, -2,
         11},
        {"GET through the proxy loop",
         [&](const std::string& url) {
             return KTHTTPClient::httpGetViaProxies(url, out.tb, {}, "", "");
         },
         -2, 11},
        // A POST follows none: its answer is the redirect, which is no reply.
        {"POST",
         [&](const std::string& url) {
             return KTHTTPClient::httpPost(url, body, &out.tb, {}, "", {});
         },
         -4, 1},
        {"speed-test upload",
         [&](const std::string& url) {
             return KTHTTPClient::measureTransfer(url, kSpeedTestUpload, body, out.tb, &result, {},
                                                  "");
         },
         -2, 11},
        {"speed-test download",
         [&](const std::string& url) {
             return KTHTTPClient::measureTransfer(url, kSpeedTestDownload, none, out.tb, &result,
                                                  {}, "");
         },
         -2, 11},
    };
    const char* const statusLines[] = {"HTTP/1.1 307 Temporary Redirect", "HTTP/1.1 302 Found"};
    for (const char* statusLine : statusLines) {
        for (const Kind& kind : kinds) {
            SCOPED_TRACE(std::string(kind.name) + ", " + statusLine);
            HttpsOrigin origin;
            const std::string url = origin.url("/again");
            // To itself, without end; past 50 it gives up, so a client without a bound
            // still ends.
            std::atomic<int> seen{0};
            origin.setHandler([&](const ktTest::HttpRequestRecord&) {
                if (++seen > 50) {
                    return HttpReply::make("HTTP/1.1 404 Not Found");
                }
                return HttpReply::make(statusLine, "", {"Location: " + url});
            });
            EXPECT_EQ(kind.request(url), kind.rc);
            EXPECT_EQ(origin.requests().size(), kind.requests);
        }
    }
}

// --- certificates -------------------------------------------------------------------

TEST_F(HttpClientTest, CertificatesAreVerifiedFromTheFirstRequest)
{
    ASSERT_TRUE(validatePeerCert());
    struct Case {
        const char* name;
        CertKind kind;
        int rc;
    };
    const Case cases[] = {
        {"good", CertKind::good, 0},
        {"issued directly by the root, sent alone", CertKind::rootIssued, 0},
        {"self-signed", CertKind::selfSigned, -2},
        {"expired", CertKind::expired, -2},
        {"wrong host name", CertKind::wrongHost, -2},
        {"missing intermediate", CertKind::missingIntermediate, -2},
        {"issued by a certificate that is no CA", CertKind::notCaIssued, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpsOrigin origin({true, c.kind, false});
        Buffer out(16);
        EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), c.rc);
        EXPECT_EQ(origin.requests().size(), c.rc == 0 ? 1u : 0u);
    }
}

TEST_F(HttpClientTest, DeveloperOptOutAcceptsAnyCertificateWithAWarning)
{
    setValidatePeerCert(false);
    for (CertKind kind : {CertKind::selfSigned, CertKind::expired, CertKind::wrongHost}) {
        HttpsOrigin origin({true, kind, false});
        Buffer out(16);
        EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), 0);
    }
    EXPECT_NE(logText().find("server certificate validation is turned off"), std::string::npos);
}

TEST_F(HttpClientTest, FailingToInstallTheCertificateCheckFailsTheRequest)
{
    setOptionFault(
        [](const char* name) { return std::string(name) == "CURLOPT_SSL_CTX_FUNCTION"; });
    HttpsOrigin origin({true, CertKind::selfSigned, false});
    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), -2);
    EXPECT_EQ(origin.connectionCount(), 0u);
    EXPECT_NE(logText().find("curl_easy_setopt CURLOPT_SSL_CTX_FUNCTION failed, code 48"),
              std::string::npos);
}

// The verify callback with a hand-made store context and an injected trust decision.
std::atomic<int> g_checks{0};
std::atomic<bool> g_answer{false};
X509* g_checkedCert = nullptr;

bool fakeCheck(X509* cert, stack_st_X509*)
{
    ++g_checks;
    g_checkedCert = cert;
    return g_answer;
}

TEST_F(HttpClientTest, VerifyCallbackRefersOnlyChainErrorsToTheMachine)
{
    const auto certs =
        ktTest::parseCertificates(ktTest::TestPki::instance().server(CertKind::good).chainPem);
    ASSERT_EQ(certs.size(), 2u);
    X509* leaf = certs[0].get();
    X509* current = certs[1].get();
    setPeerCertificateCheck(&fakeCheck);

    struct Case {
        int preverify;
        int error;
        bool answer;
        int result;
        int checks;
        int errorAfter;
    };
    const Case cases[] = {
        {1, X509_V_OK, false, 1, 0, X509_V_OK},
        {0, X509_V_ERR_CERT_HAS_EXPIRED, true, 0, 0, X509_V_ERR_CERT_HAS_EXPIRED},
        {0, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, true, 1, 1,
         X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {0, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, false, 0, 1, X509_V_ERR_INVALID_CA},
        {0, X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, true, 1, 1, X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN},
        {0, X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, false, 0, 1, X509_V_ERR_INVALID_CA},
        {0, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, true, 1, 1,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {0, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, false, 0, 1, X509_V_ERR_INVALID_CA},
        {0, X509_V_ERR_CERT_UNTRUSTED, true, 1, 1, X509_V_ERR_CERT_UNTRUSTED},
        {0, X509_V_ERR_CERT_UNTRUSTED, false, 0, 1, X509_V_ERR_INVALID_CA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "preverify " << c.preverify << " error " << c.error
                                        << " answer " << c.answer);
        X509_STORE* store = X509_STORE_new();
        X509_STORE_CTX* ctx = X509_STORE_CTX_new();
        ASSERT_EQ(X509_STORE_CTX_init(ctx, store, leaf, nullptr), 1);
        X509_STORE_CTX_set_current_cert(ctx, current);
        X509_STORE_CTX_set_error(ctx, c.error);
        g_checks = 0;
        g_checkedCert = nullptr;
        g_answer = c.answer;

        EXPECT_EQ(VerifyServerCACallback(c.preverify, ctx), c.result);
        EXPECT_EQ(g_checks, c.checks);
        EXPECT_EQ(X509_STORE_CTX_get_error(ctx), c.errorAfter);
        if (c.checks > 0) {
            EXPECT_EQ(g_checkedCert, current);
        }
        // Only an accepted untrusted certificate becomes the context's certificate.
        const bool replaced = c.error == X509_V_ERR_CERT_UNTRUSTED && c.answer;
        EXPECT_EQ(X509_STORE_CTX_get0_cert(ctx), replaced ? current : leaf);
        X509_STORE_CTX_free(ctx);
        X509_STORE_free(store);
    }
}

TEST_F(HttpClientTest, AChainToAMachineRootVerifiesInOnePass)
{
    // The machine's decision is asked only about what OpenSSL's own pass, which knows the
    // machine's roots, could not settle.
    setPeerCertificateCheck(&fakeCheck);
    g_answer = false;
    const struct {
        CertKind kind;
        int rc;
        bool referred;
    } cases[] = {
        {CertKind::good, 0, false},
        {CertKind::rootIssued, 0, false},
        {CertKind::selfSigned, -2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        HttpsOrigin origin({true, c.kind, false});
        g_checks = 0;
        Buffer out(16);
        EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), c.rc);
        EXPECT_EQ(g_checks > 0, c.referred);
    }
}

// --- proxies ------------------------------------------------------------------------

TEST_F(HttpClientTest, ProxiesAreTriedInOrderUntilOneWorks)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "via proxy"));
    ClosedPort closed;
    ConnectProxy good;
    ConnectProxy third;
    ProxySettings settings{{closed.address(), good.address(), third.address()}, ""};
    Buffer out(32);
    EXPECT_EQ(KTHTTPClient::httpGetViaProxies(origin.url("/list"), out.tb, settings, "", ""), 0);
    EXPECT_EQ(out.text(), "via proxy");
    EXPECT_EQ(good.connectCount(), 1u);
    EXPECT_EQ(good.requests().at(0).target, "127.0.0.1:" + std::to_string(origin.port()));
    EXPECT_EQ(third.connectCount(), 0u);
    EXPECT_TRUE(third.requests().empty());
    EXPECT_EQ(origin.requests().size(), 1u);
}

TEST_F(HttpClientTest, BasicCredentialsReachTheProxyAndNeverTheLog)
{
    HttpsOrigin origin;
    ConnectProxy proxy("alice:s3cret-Pw");
    ProxySettings settings{{proxy.address()}, "alice:s3cret-Pw"};
    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGetViaProxies(origin.url(), out.tb, settings, "", ""), 0);
    const auto seen = proxy.requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().method, "CONNECT");
    EXPECT_EQ(seen.back().credentials, std::optional<std::string>("alice:s3cret-Pw"));
    EXPECT_EQ(proxy.tunnelCount(), 1u);
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0].header("Proxy-Authorization"), "");
    const std::string log = logText();
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(log.find("YWxpY2U6czNjcmV0LVB3"), std::string::npos); // its base64 form
}

TEST_F(HttpClientTest, ProxyRefusalsGiveTheResultCode)
{
    struct Case {
        const char* name;
        std::optional<std::string> required;
        std::optional<std::string> connectReply;
        std::string credentials;
        int rc;
    };
    const Case cases[] = {
        {"407, no credentials", std::string("alice:pw"), std::nullopt, "", -5},
        {"407, wrong credentials", std::string("alice:pw"), std::nullopt, "alice:nope", -5},
        {"407 without a challenge", std::nullopt,
         std::string("HTTP/1.1 407 Proxy Authentication Required"), "", -5},
        {"502", std::nullopt, std::string("HTTP/1.1 502 Bad Gateway"), "", -4},
        {"403 without reason phrase", std::nullopt, std::string("HTTP/1.1 403"), "", -4},
    };
    HttpsOrigin origin;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectProxy proxy(c.required);
        proxy.setConnectReply(c.connectReply);
        Buffer out(16);
        EXPECT_EQ(
            KTHTTPClient::httpGet(origin.url(), out.tb, {proxy.address(), c.credentials}, "", ""),
            c.rc);
        EXPECT_GE(proxy.connectCount(), 1u);
    }
    EXPECT_TRUE(origin.requests().empty());
}

TEST_F(HttpClientTest, EmptyCredentialsAreSentAsAColon)
{
    HttpsOrigin origin;
    ConnectProxy proxy(std::string(":"));
    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {proxy.address(), ""}, "", ""), 0);
    EXPECT_EQ(proxy.requests().back().credentials, std::optional<std::string>(":"));
}

TEST_F(HttpClientTest, ARefusingProxyIsSkippedForTheNext)
{
    HttpsOrigin origin;
    ConnectProxy refusing;
    refusing.setConnectReply(std::string("HTTP/1.1 407 Proxy Authentication Required"));
    ConnectProxy good;
    ProxySettings settings{{refusing.address(), good.address()}, ""};
    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGetViaProxies(origin.url(), out.tb, settings, "", ""), 0);
    EXPECT_EQ(good.tunnelCount(), 1u);
}

TEST_F(HttpClientTest, OnceTheOriginAnsweredNoOtherProxyIsTried)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 404 Not Found"));
    ConnectProxy first;
    ConnectProxy second;
    ProxySettings settings{{first.address(), second.address()}, ""};
    std::string body = R"({"a":1})";
    TransferBuffer in;
    in.data = &body[0];
    in.size = static_cast<std::uint32_t>(body.size());

    EXPECT_EQ(KTHTTPClient::httpPost(origin.url("/post"), in, nullptr, settings, "", {}), -4);
    EXPECT_EQ(origin.requests().size(), 1u) << "the POST was delivered twice";
    EXPECT_EQ(second.connectCount(), 0u);

    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGetViaProxies(origin.url("/get"), out.tb, settings, "", ""), -4);
    EXPECT_EQ(out.tb.responseCode, 404);
    EXPECT_EQ(origin.requests().size(), 2u);
    EXPECT_EQ(second.connectCount(), 0u);
}

TEST_F(HttpClientTest, EveryProxyLoopDeliversARequestOnceWhenTheOriginFails)
{
    // Each request, with its body where it has one, through two proxies to an origin that
    // answers 500: the origin sees it once, and the second proxy never.
    constexpr std::uint32_t kBody = 1024 * 1024;
    std::string body(kBody, 'u');
    TransferBuffer in;
    in.data = &body[0];
    in.size = kBody;
    struct Case {
        const char* name;
        std::function<int(const ProxySettings&, const std::string& url)> request;
        std::size_t bodyBytes;
    };
    const Case cases[] = {
        {"GET",
         [](const ProxySettings& settings, const std::string& url) {
             Buffer out(16);
             return KTHTTPClient::httpGetViaProxies(url, out.tb, settings, "", "");
         },
         0},
        {"JSON POST",
         [&](const ProxySettings& settings, const std::string& url) {
             return KTHTTPClient::httpPost(url, in, nullptr, settings, "", {});
         },
         kBody},
        {"speed-test upload",
         [&](const ProxySettings& settings, const std::string& url) {
             Buffer reply(1024);
             SpeedTestResult result;
             return KTHTTPClient::measureTransferViaProxies(url, 1, in, reply.tb, &result, settings,
                                                            "Expect:");
         },
         kBody},
        {"speed-test download",
         [](const ProxySettings& settings, const std::string& url) {
             Buffer reply(1024);
             TransferBuffer none;
             SpeedTestResult result;
             return KTHTTPClient::measureTransferViaProxies(url, 2, none, reply.tb, &result,
                                                            settings, "");
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpsOrigin origin;
        origin.setReply(HttpReply::make("HTTP/1.1 500 Internal Server Error"));
        ConnectProxy first;
        ConnectProxy second;
        const ProxySettings settings{{first.address(), second.address()}, ""};
        EXPECT_EQ(c.request(settings, origin.url("/target")), -4);
        const auto requests = origin.requests();
        ASSERT_EQ(requests.size(), 1u) << "delivered more than once";
        EXPECT_EQ(requests[0].body.size(), c.bodyBytes);
        EXPECT_EQ(first.tunnelCount(), 1u);
        EXPECT_EQ(second.connectCount(), 0u);
    }
}

TEST_F(HttpClientTest, ServerTextIsLoggedEscaped)
{
    // A reason phrase and a reply that try to start log lines of their own.
    HttpsOrigin origin;
    origin.setReply(
        HttpReply::make("HTTP/1.1 200 OK", "{\"status\":\"no\\n2026/01/01 forged error line\"}"));
    std::string body = "{}";
    TransferBuffer in;
    in.data = &body[0];
    in.size = static_cast<std::uint32_t>(body.size());
    char replyData[256] = {};
    TransferBuffer reply;
    reply.data = replyData;
    reply.size = sizeof(replyData);
    EXPECT_EQ(KTHTTPClient::httpPost(origin.url(), in, &reply, {}, "", {}), -2);

    origin.setReply(HttpReply::make("HTTP/1.1 503 Busy\x1b[2J\rforged"));
    Buffer out(16);
    EXPECT_EQ(KTHTTPClient::httpGet(origin.url(), out.tb, {}, "", ""), -4);

    const std::string log = logText();
    EXPECT_NE(log.find("HTTP post returned error no\\n2026/01/01 forged error line"),
              std::string::npos);
    EXPECT_NE(log.find("HTTP response: HTTP/1.1 503 Busy\\x1B[2J\\rforged"), std::string::npos);
    EXPECT_EQ(log.find("\n2026/01/01 forged"), std::string::npos);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

TEST_F(HttpClientTest, ARequestNeverSentGoesToTheNextProxy)
{
    // The handshake fails before the request leaves: the next proxy may still be tried.
    HttpsOrigin origin({true, CertKind::selfSigned, false});
    ConnectProxy first;
    ConnectProxy second;
    ProxySettings settings{{first.address(), second.address()}, ""};
    std::string body = "{}";
    TransferBuffer in;
    in.data = &body[0];
    in.size = static_cast<std::uint32_t>(body.size());
    EXPECT_EQ(KTHTTPClient::httpPost(origin.url(), in, nullptr, settings, "", {}), -2);
    EXPECT_EQ(first.tunnelCount(), 1u);
    EXPECT_EQ(second.tunnelCount(), 1u);
    EXPECT_TRUE(origin.requests().empty());
}

// --- connect probe ------------------------------------------------------------------

TEST_F(HttpClientTest, CheckConnectReportsWhetherAConnectionWasMade)
{
    HttpsOrigin origin;
    ConnectProxy proxy;
    ClosedPort closed;
    EXPECT_EQ(KTHTTPClient::checkConnect(origin.url("/config/org/version"), {}), 0);
    EXPECT_EQ(KTHTTPClient::checkConnect(origin.url("/config/org/version"), {proxy.address(), ""}),
              0);
    EXPECT_EQ(proxy.tunnelCount(), 1u);
    EXPECT_TRUE(origin.requests().empty());
    EXPECT_NE(KTHTTPClient::checkConnect(origin.url(), {closed.address(), ""}), 0);
    EXPECT_NE(KTHTTPClient::checkConnect("https://" + closed.address() + "/", {}), 0);

    HttpsOrigin selfSigned({true, CertKind::selfSigned, false});
    EXPECT_NE(KTHTTPClient::checkConnect(selfSigned.url(), {}), 0);
}

// --- progress mode and concurrency --------------------------------------------------

// libcurl looks at an idle transfer once a second, so each of these takes about a second.
void expectStallStopped(const HttpsOrigin::Options& options)
{
    setStallWindow(std::chrono::milliseconds(300));
    HttpsOrigin origin(options);
    HttpReply reply = HttpReply::make("HTTP/1.1 200 OK", std::string(1000, 'b'));
    reply.stallAfter = 100; // the status line, the headers and a few body bytes
    origin.setReply(reply);
    KTHTTPClient client;
    ASSERT_EQ(client.init(true), 0);
    ASSERT_EQ(client.setURL(origin.url()), 0);
    client.writeMode = 5;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.perform(), -2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(logText().find("transfer stalled below 1 byte/s"), std::string::npos);
}

TEST_F(HttpClientTest, ProgressModeStopsATransferWhoseBodyStalls)
{
    expectStallStopped({true, CertKind::good, false});
}

TEST_F(HttpClientTest, ProgressModeStopsAServerThatNeverSpeaks)
{
    expectStallStopped({true, CertKind::good, true});
}

TEST_F(HttpClientTest, ProgressModeStopsATrickleBelowOneBytePerSecond)
{
    // A byte every 1.5 s: one in every window, yet two thirds of the rate. The whole body
    // would take 6 s; the watch ends it at its first window.
    setStallWindow(std::chrono::milliseconds(3000));
    HttpsOrigin origin;
    HttpReply reply = HttpReply::make("HTTP/1.1 200 OK", std::string(4, 't'));
    reply.trickle = std::chrono::milliseconds(1500);
    origin.setReply(reply);
    KTHTTPClient client;
    ASSERT_EQ(client.init(true), 0);
    ASSERT_EQ(client.setURL(origin.url()), 0);
    client.writeMode = 5;
    const std::size_t logged = logText().size();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.perform(), -2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5500));
    EXPECT_NE(logText().find("transfer stalled below 1 byte/s", logged), std::string::npos);
}

TEST_F(HttpClientTest, ProgressModeLetsASteadyTransferFinish)
{
    // Wide enough that a loaded machine's TLS handshake is not taken for a stall.
    setStallWindow(std::chrono::milliseconds(3000));
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(200000, 'c')));
    KTHTTPClient client;
    ASSERT_EQ(client.init(true), 0);
    ASSERT_EQ(client.setURL(origin.url()), 0);
    std::string sink(200000, '\0');
    client.writeMode = 2;
    client.buffer = &sink[0];
    client.bufferSize = static_cast<std::uint32_t>(sink.size());
    EXPECT_EQ(client.perform(), 0);
    EXPECT_EQ(client.bufferLength, 200000u);
}

TEST_F(HttpClientTest, FirstRequestsMayRunOnSeveralThreadsAtOnce)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "ok"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&] {
            char data[8] = {};
            TransferBuffer out;
            out.data = data;
            out.size = sizeof(data);
            if (KTHTTPClient::httpGet(origin.url(), out, {}, "", "") != 0) {
                ++failures;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(origin.requests().size(), 6u);
}

} // namespace
