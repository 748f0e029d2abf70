// Writes the seed corpus of every fuzz target from the project's own writers, so the seeds
// look like what the service and the client really produce: fuzzSeeds <fuzz/corpus folder>.
// Protected files are made under the fuzz targets' fixed keys.

#include "ktFuzz/fuzzSupport.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"
#include "ktUtils/integritycheck.h"
#include "ktcom2/KTComFrame.h"
#include "ktmsg2/KTMsg2.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

std::string g_root;

void seed(const std::string& target, const std::string& name, const std::string& bytes)
{
    fs::create_directories(g_root + "/" + target);
    ktFuzz::writeFile(g_root + "/" + target + "/" + name, bytes);
}

std::string be(std::uint32_t value, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return out;
}

std::string unit(const std::string& payload)
{
    return be(static_cast<std::uint32_t>(payload.size()), 4) + payload;
}

std::string detached(int id, const Items& items)
{
    KTMsg2 message;
    message.m_msgId = id;
    for (const auto& [key, value] : items) {
        message.AddItem<std::string>(key, value);
    }
    std::string text;
    message.detach(text);
    return text;
}

std::string frame(int type, const std::vector<std::pair<int, std::string>>& tlvs)
{
    CKTComFrameCreator creator;
    creator.createFrameHeader(type);
    for (const auto& [tlvType, value] : tlvs) {
        creator.addTLV(tlvType, static_cast<std::uint16_t>(value.size()), value);
    }
    return creator.frame();
}

void frames()
{
    const std::string ack = frame(kFrameTypeAck, {});
    seed("fuzzFrame", "ack", ack);
    seed("fuzzFrame", "ack-with-tlvs", frame(kFrameTypeAck, {{0, "RizazudAre"}, {7, "\x01\x02"}}));
    seed("fuzzFrame", "request", frame(kFrameTypeRequest, {{kTlvClientName, "ktDiag_s1"}}));
    seed("fuzzFrame", "ack-trailing", ack + "rest");
    std::string lying = ack;
    lying[13] = 9;
    seed("fuzzFrame", "ack-length-lies", lying);
    std::string version2 = ack;
    version2[8] = 2;
    seed("fuzzFrame", "ack-version-2", version2);
    seed("fuzzFrame", "ack-cut", ack.substr(0, 11));
}

void messages()
{
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"ping", detached(124, {})},
        {"start-capture", detached(120, {{"Capture", "/tmp/ktpktdump.pcap"},
                                         {"snapLen", "1500"},
                                         {"sessionID", "1"},
                                         {"clientName", "ktDiag_s1"}})},
        {"status-reply", "{\"104\":{\"tunnelstatus\":\"17\",\"status\":\"enable\","
                         "\"onpremStatus\":\"off-prem\",\"gatewayHost\":\"gateway.example.net\","
                         "\"gtwIP\":\"192.0.2.10\",\"tunnelProtocol\":\"DTLS\"}}"},
        {"capture-reply", "{\"121\":{\"status\":\"true\"}}"},
        {"config-reply", "{\"128\":{\"updateStatus\":\"false\",\"updateCheckStatus\":\"true\"}}"},
        {"nested", detached(105, {{"a.b", "1"}, {"a.c", "x\"y\\z\n"}, {"list", "\xc3\xa9"}})},
        {"two-keys", "{\"145\":{\"qpaStatus\":\"enabled\"},\"146\":\"\"}"},
        {"array-and-numbers", "{\"116\":{\"files\":[\"a\",\"b\"],\"n\":-1.5e3,\"t\":true,"
                              "\"z\":null,\"u\":\"\\u00e9\\ud83d\\ude00\"}}"},
        {"depth-64", std::string(63, '[') + "\"x\"" + std::string(63, ']')},
        {"depth-65", "{\"121\":" + std::string(64, '[') + std::string(64, ']') + "}"},
        {"not-json", "{\"121\": oops"},
        {"empty-object", "{}"},
    };
    for (const auto& [name, text] : texts) {
        seed("fuzzMessage", name, text);
    }
}

void units()
{
    const std::string reply = "{\"121\":{\"status\":\"true\"}}";
    const std::string ping = detached(124, {});
    // limit, then chunk sizes, then the stream.
    const auto input = [](std::uint32_t limit, const std::vector<std::uint16_t>& chunks,
                          const std::string& stream) {
        std::string out = be(limit, 4) + be(static_cast<std::uint32_t>(chunks.size()), 2);
        for (std::uint16_t c : chunks) {
            out += be(c, 2);
        }
        return out + stream;
    };
    const std::string two = unit(reply) + unit(ping);
    seed("fuzzUnitSplitter", "two-whole", input(0, {}, two));
    seed("fuzzUnitSplitter", "two-byte-by-byte", input(0, {1}, two));
    seed("fuzzUnitSplitter", "two-odd-chunks", input(0, {3, 0, 7, 2}, two));
    seed("fuzzUnitSplitter", "empty-and-tiny", input(0, {5}, unit("") + unit("x") + unit(reply)));
    seed("fuzzUnitSplitter", "partial", input(0, {4}, unit(reply) + unit(reply).substr(0, 9)));
    seed("fuzzUnitSplitter", "oversized", input(0, {}, unit(reply) + "\xff\xff\xff\xff" + "x"));
    seed("fuzzUnitSplitter", "limit-32", input(32, {6}, unit(reply) + unit(std::string(33, 'p'))));
    seed("fuzzUnitSplitter", "limit-at-unit", input(26, {2, 30}, two));
    // Found: room taken for the whole announced length at once, so four bytes cost 4 GiB.
    seed("fuzzUnitSplitter", "regression-announcement-alone",
         input(0xFFFFFFFF, {3}, "\xff\xff\xff\xfe" + reply));
}

void base64()
{
    seed("fuzzBase64", "padded-1", base64Encode(reinterpret_cast<const unsigned char*>("a"), 1));
    seed("fuzzBase64", "padded-2", base64Encode(reinterpret_cast<const unsigned char*>("ab"), 2));
    seed("fuzzBase64", "blank-inside", "YW Jj");
    seed("fuzzBase64", "wrapped", "S1REUAEBAA\nAAAAAAAAAA==");
    const std::string bytes = "\x00\xff\x10\x80 binary\x7f";
    seed("fuzzBase64", "binary",
         base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<unsigned int>(bytes.size())));
}

void protectedFiles()
{
    const std::string plain = ktFuzz::makeFolder("seeds") + "/ktconfig.json";
    const std::string config = "{\n    \"clientConfig\": {\n        \"tenant\": \"example\"\n"
                               "    }\n}\n";
    for (int user = 0; user < 2; ++user) {
        CKTEncryptedFile file(ktPlatform::toWide(plain), user == 1);
        const std::string text = file.protectData(config);
        const std::string blob = base64Decode(text.c_str(), static_cast<unsigned int>(text.size()));
        const std::string scope = user == 1 ? "user" : "machine";
        const char textFlags = static_cast<char>(user);
        const char blobFlags = static_cast<char>(user | 2);
        seed("fuzzProtectedFile", scope + "-file", textFlags + text);
        seed("fuzzProtectedFile", scope + "-blob", blobFlags + blob);
        seed("fuzzProtectedFile", scope + "-empty-data", textFlags + file.protectData(""));
        seed("fuzzProtectedFile", scope + "-wrapped",
             textFlags + text.substr(0, 40) + "\n" + text.substr(40));
    }
    seed("fuzzProtectedFile", "empty", std::string(1, '\0'));
}

void digestFiles()
{
    const std::string folder = ktFuzz::makeFolder("digests");
    const std::wstring wide = ktPlatform::toWide(folder);
    const std::string guarded = "{\n    \"events\": \"\"\n}\n";
    saveDigest(wide, guarded, "d5");
    saveDigest(wide, "other", "df3");
    const std::string both = ktFuzz::readFile(folder + "/ktinternal.json");
    saveDigest(wide, guarded, "d2");
    seed("fuzzDigestFile", "d5-and-df3", std::string(1, '\0') + both);
    seed("fuzzDigestFile", "three",
         std::string(1, '\1') + ktFuzz::readFile(folder + "/ktinternal.json"));
    seed("fuzzDigestFile", "zero-inside", std::string(1, '\0') + both + std::string(1, '\0') + "{");
    seed("fuzzDigestFile", "array", std::string(1, '\0') + "[\"d5\", \"d2\"]");
    seed("fuzzDigestFile", "nested-key", std::string(1, '\2') + "{\"d1\":{\"x\":{\"y\":\"z\"}}}");
    seed("fuzzDigestFile", "not-json", std::string(1, '\0') + "d5=0123");
    seed("fuzzDigestFile", "deep",
         std::string(1, '\0') + "{\"d5\":" + std::string(70, '[') + std::string(70, ']') + "}");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzzSeeds <corpus folder>\n");
        return 2;
    }
    g_root = argv[1];
    ktFuzz::start();
    frames();
    messages();
    units();
    base64();
    protectedFiles();
    digestFiles();
    return 0;
}
