#include "ktCert/peer.h"
#include "ktPlatform/trustStore.h"

#include "ktTest/testPki.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

using ktTest::CertKind;
using ktTest::TestPki;

struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;

// The stack does not own its certificates.
StackPtr stackOf(const std::vector<ktTest::X509Ptr>& certs)
{
    StackPtr stack(sk_X509_new_null());
    for (const auto& cert : certs) {
        sk_X509_push(stack.get(), cert.get());
    }
    return stack;
}

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override { TestPki::instance(); }
};

TEST_F(PeerTest, DecidesByTheMachineRoots)
{
    struct Case {
        const char* name;
        CertKind kind;
        bool withChain;
        bool trusted;
    };
    const Case cases[] = {
        {"good leaf with its intermediate", CertKind::good, true, true},
        {"good leaf alone: no path to the root", CertKind::good, false, false},
        // The chain check knows no host name; libcurl checks that.
        {"wrong host name, valid chain", CertKind::wrongHost, true, true},
        {"expired leaf", CertKind::expired, true, false},
        {"self-signed leaf", CertKind::selfSigned, false, false},
        {"leaf issued directly by the root", CertKind::rootIssued, false, true},
        {"leaf issued by a certificate that is no CA", CertKind::notCaIssued, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto certs = ktTest::parseCertificates(TestPki::instance().server(c.kind).chainPem);
        ASSERT_FALSE(certs.empty());
        StackPtr chain = stackOf(certs);
        EXPECT_EQ(verifyPeerCertificate(certs[0].get(), c.withChain ? chain.get() : nullptr),
                  c.trusted);
    }
}

TEST_F(PeerTest, IntermediateAloneIsTrustedThroughTheRoot)
{
    const auto certs =
        ktTest::parseCertificates(TestPki::instance().server(CertKind::good).chainPem);
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_TRUE(verifyPeerCertificate(certs[1].get()));
}

TEST_F(PeerTest, ARootOnlyInTheCertificateFolderIsTrusted)
{
    // The folder holds each root under the hash of its subject, as openssl rehash names it.
    // The machine's roots are loaded once per process, so a fresh one runs the check.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ktTest::TempDir folder;
    const auto roots = ktTest::parseCertificates(TestPki::instance().caPem());
    ASSERT_EQ(roots.size(), 1u);
    char name[16];
    std::snprintf(name, sizeof(name), "%08lx.0", X509_subject_name_hash(roots[0].get()));
    ktTest::writeAll(folder.path() + "/" + name, TestPki::instance().caPem());
    const auto leaf =
        ktTest::parseCertificates(TestPki::instance().server(CertKind::rootIssued).chainPem);
    ASSERT_EQ(leaf.size(), 1u);
    EXPECT_EXIT(
        {
            ::setenv("SSL_CERT_FILE", (folder.path() + "/none.pem").c_str(), 1);
            ::setenv("SSL_CERT_DIR", folder.path().c_str(), 1);
            const bool trusted = verifyPeerCertificate(leaf[0].get());
            std::filesystem::remove_all(folder.path());
            std::exit(trusted ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(PeerTest, NullCertificateIsRefused)
{
    EXPECT_FALSE(verifyPeerCertificate(nullptr));
}

TEST_F(PeerTest, TrustStoreReportsBadInputAndTheVerificationError)
{
    ktPlatform::CertChainResult result;
    EXPECT_EQ(ktPlatform::getCertificateChain("not a certificate", {}, result),
              ktPlatform::CertChainStatus::badCertificate);

    const auto certs =
        ktTest::parseCertificates(TestPki::instance().server(CertKind::selfSigned).chainPem);
    unsigned char* der = nullptr;
    const int length = i2d_X509(certs.at(0).get(), &der);
    ASSERT_GT(length, 0);
    const std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    EXPECT_EQ(ktPlatform::getCertificateChain(bytes + "x", {}, result),
              ktPlatform::CertChainStatus::badCertificate);
    ASSERT_EQ(ktPlatform::getCertificateChain(bytes, {}, result),
              ktPlatform::CertChainStatus::built);
    EXPECT_EQ(result.trustErrorStatus, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT);
}

} // namespace
