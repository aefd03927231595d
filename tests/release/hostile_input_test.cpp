// Every decoder and text parser that sees data from outside, run over inputs built to
// break parsers: truncations, deep nesting, huge numbers, broken UTF-8 and NUL bytes.
// Each must answer with its own error type or a value: no crash, no other exception, no
// runaway memory (the sanitizer build watches the rest).

#include "platform/installer_error.h"
#include "release/json_reader.h"
#include "release/records.h"
#include "release/settings.h"
#include "support/fixtures.h"
#include "trust/base64url.h"
#include "trust/date_time.h"
#include "trust/url.h"

#include <gtest/gtest.h>

namespace installer::release {
namespace {

const std::string validManifest = testing::validManifest(testing::FakeSystem()).dump();
const std::string validResponse =
    R"({"code":0,"data":{"updateAvailable":true,"reason":null,"manifest":)"
    R"({"keyId":"k","payloadBase64url":"cA","signature":"cw"}}})";
const std::string validSettings =
    R"({"apiOrigin":"https://a.example","environment":"production","installerVersion":"1.0.5",)"
    R"("keys":{"k":"v"},"downloadHosts":["h"]})";

std::vector<std::string> hostileCorpus() {
    std::vector<std::string> corpus;
    for (const std::string* valid : {&validManifest, &validResponse, &validSettings}) {
        for (std::size_t n = 0; n <= valid->size(); ++n)
            corpus.push_back(valid->substr(0, n));
        std::string withNul = *valid;
        withNul.insert(withNul.size() / 2, 1, '\0');
        corpus.push_back(withNul);
        corpus.push_back(*valid + std::string(1, '\0'));
        corpus.push_back(std::string("\xEF\xBB\xBF") + *valid);
    }
    corpus.push_back(std::string(200'000, '['));
    corpus.push_back(std::string(200'000, '[') + std::string(200'000, ']'));
    std::string objects;
    for (int i = 0; i < 50'000; ++i)
        objects += "{\"a\":";
    corpus.push_back(objects + "1" + std::string(50'000, '}'));
    for (const char* number : {"1e999999", "-1e999999", "1e-999999", "-0", "0.0000000000001e400",
                               "123456789012345678901234567890", "-9223372036854775809",
                               "18446744073709551616", "NaN", "Infinity", "0x10", "01", "+1"}) {
        corpus.push_back(std::string(R"({"code":)") + number +
                         R"(,"data":{"updateAvailable":true}})");
        std::string m = validManifest;
        m.replace(m.find("\"revision\":3") + 11, 1, number);
        corpus.push_back(m);
    }
    corpus.push_back(std::string(R"({"code":)") + std::string(100'000, '9') + "}");
    for (const char* text : {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE6\xBE",
                             "\\ud800", "\\udc00\\ud800", "\\u0000", "\\x41"}) {
        std::string m = validManifest;
        m.replace(m.find("production"), 10, text);
        corpus.push_back(m);
    }
    corpus.push_back("");
    corpus.push_back("null");
    corpus.push_back("\"just a string\"");
    corpus.push_back(std::string(1'000'000, ' '));
    return corpus;
}

template <typename Decode> void expectOnlyDecodeErrors(Decode decode, const std::string& input) {
    try {
        decode(input);
    } catch (const DecodeError&) {
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected " << typeid(error).name() << ": " << error.what()
                      << " for input of " << input.size() << " bytes";
    }
}

void decodeEverything(const std::string& input) {
    expectOnlyDecodeErrors([](const std::string& t) { return decodeManifest(t); }, input);
    expectOnlyDecodeErrors([](const std::string& t) { return decodeSigned(t); }, input);
    expectOnlyDecodeErrors([](const std::string& t) { return decodeResolveResponse(t); }, input);
    expectOnlyDecodeErrors([](const std::string& t) { return decodeSettings(t); }, input);
    try {
        trust::decode64(input);
    } catch (const InstallerError&) {
    }
    const std::string_view head = std::string_view(input).substr(0, 4096);
    (void)trust::parseUrl(head);
    (void)trust::parseInternetDateTime(head);
}

TEST(HostileInput, EveryParserAnswersWithItsOwnErrorOrAValue) {
    for (const auto& input : hostileCorpus())
        decodeEverything(input);
}

} // namespace
} // namespace installer::release
