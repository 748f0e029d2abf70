// The two checks of a REST reply on any text: KTHTTPClient::checkPostReply and
// CRestApi::checkResponseStatus. Both must agree with a plain reading of the text by the
// property tree: the post check fails only for JSON whose "status" is neither "success"
// (any case) nor "404"; the response check fails for text that is not JSON and for a
// "status" of exactly "error".

#include "ktFuzz/fuzzSupport.h"
#include "ktFuzz/plainJson.h"

#include "ktDownloader/ktHTTPClient.h"
#include "ktRestApi/restapi.h"
#include "ktUtils/jsonUtil.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <optional>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktFuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ktFuzz::logLevelFor(data, size);
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool post = KTHTTPClient::checkPostReply(text);
    const bool response = CRestApi::checkResponseStatus(text);

    const auto tree = ktFuzz::plainReading(text);
    std::optional<std::string> status;
    if (tree) {
        if (const auto value = tree->get_optional<std::string>("status")) {
            status = *value;
        }
    }
    const bool postExpected =
        !status || boost::algorithm::iequals(*status, "success") || *status == "404";
    const bool responseExpected = tree && (!status || *status != "error");
    KT_FUZZ_CHECK(post == postExpected);
    KT_FUZZ_CHECK(response == responseExpected);
    KT_FUZZ_CHECK(KTHTTPClient::checkPostReply(text) == post);
    KT_FUZZ_CHECK(CRestApi::checkResponseStatus(text) == response);
    return 0;
}
