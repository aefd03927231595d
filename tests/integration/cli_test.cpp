// The real binary of the test edition, as a user or the installed application runs it:
// exact standard output, standard error and exit status for each mode and failure.

#include "platform/system.h"
#include "support/fixtures.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "trust/base64url.h"

#include <gtest/gtest.h>

namespace installer::testing {
namespace {

using Json = nlohmann::ordered_json;

class Cli : public ::testing::Test {
protected:
    TempDir dir;
    Signer signer = testEditionSigner();

    static Json manifest() { return testEditionManifest(); }

    std::string write(const std::string& name, const std::string& content) {
        writeFile(dir / name, content);
        return (dir / name).string();
    }
    std::string goodEnvelope() { return write("good.json", signer.envelope(manifest().dump())); }

    static ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), INSTALLER_TEST_BINARY);
        return runProcess(args);
    }
    static void expectFailure(const ProcessResult& result, const std::string& message) {
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "安装失败：" + message + "\n");
    }
};

TEST_F(Cli, VerificationPrintsTheVersionOfAGoodManifest) {
    const auto result = run({"--verify-manifest", goodEnvelope()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "VERIFIED 1.4.2\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(Cli, VerificationRefusesATamperedManifest) {
    std::string payload = manifest().dump();
    const release::Signed envelope = signer.sign(payload);
    payload.replace(payload.find("1.4.2"), 5, "9.9.9");
    const Json tampered = {{"keyId", envelope.keyId},
                           {"payloadBase64url", trust::encode64(payload)},
                           {"signature", envelope.signature}};
    expectFailure(run({"--verify-manifest", write("t.json", tampered.dump())}), "发布签名无效");
}

TEST_F(Cli, ModeSelectionFollowsTheWholeArgumentList) {
    const std::string good = goodEnvelope();
    EXPECT_EQ(run({"--update", "--verify-manifest", good}).out, "VERIFIED 1.4.2\n");
    EXPECT_EQ(run({"--verify-manifest", good, "--update"}).out, "VERIFIED 1.4.2\n");
    EXPECT_EQ(run({"--verify-manifest", good, "--verify-manifest", "/none"}).out,
              "VERIFIED 1.4.2\n");
    // As the last argument it selects nothing, so update mode runs.
    expectFailure(run({"--update", "--verify-manifest"}), "安装参数缺失");
    expectFailure(run({"--update"}), "安装参数缺失");
}

TEST_F(Cli, UpdateModeChecksManifestThenProcessThenPaths) {
    const std::string good = goodEnvelope();
    const std::string bad = write("bad.json", R"({"keyId":"other","payloadBase64url":"x","signature":"y"})");
    expectFailure(run({"--update", "--manifest", bad, "--wait-pid", "1"}), "发布密钥未知");
    expectFailure(run({"--update", "--manifest", good, "--wait-pid", "1", "--target", "/x.app"}),
                  "进程参数无效");
    expectFailure(run({"--update", "--manifest", good, "--wait-pid", "-7"}), "进程参数无效");
    expectFailure(run({"--update", "--manifest", good, "--wait-pid", "+42"}), "安装参数缺失");
    expectFailure(run({"--update", "--manifest", good, "--wait-pid", "42", "--package", "p.dmg"}),
                  "安装参数缺失");
    // An empty path is a path like any other: the missing target is still what is reported.
    expectFailure(run({"--update", "--manifest", good, "--wait-pid", "42", "--package", ""}),
                  "安装参数缺失");
    expectFailure(run({"--update", "--manifest", good, "--wait-pid"}), "安装参数缺失");
}

TEST_F(Cli, AnOptionValueIsTheNextArgumentWhateverItLooksLike) {
    const auto result = run({"--update", "--manifest", "--wait-pid", "123"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "安装失败：无法读取文件：文件或文件夹不存在（--wait-pid）\n");
}

TEST_F(Cli, VerificationLimitsTheFileToUnder128000Bytes) {
    const std::string envelope = signer.envelope(manifest().dump());
    const auto padded = [&](std::size_t size) {
        std::string text = envelope;
        text.append(size - text.size(), ' ');
        return write("padded-" + std::to_string(size) + ".json", text);
    };
    EXPECT_EQ(run({"--verify-manifest", padded(127'999)}).out, "VERIFIED 1.4.2\n");
    expectFailure(run({"--verify-manifest", padded(128'000)}), "清单过大");
    // Update mode accepts the same file: it fails later, at the missing process id.
    expectFailure(run({"--update", "--manifest", padded(128'000)}), "安装参数缺失");
    // ... but not a file of any size.
    expectFailure(run({"--update", "--manifest", padded(16 * 1024 * 1024 + 1)}), "清单过大");
    EXPECT_EQ(run({"--update", "--manifest", padded(16 * 1024 * 1024)}).err,
              "安装失败：安装参数缺失\n");
}

TEST_F(Cli, PlatformErrorsAreDescribedInChinese) {
    expectFailure(run({"--verify-manifest", write("empty.json", "")}),
                  "无法读取数据：不是有效的 JSON（第 1 个字节附近）");
    expectFailure(run({"--verify-manifest", write("array.json", "[]")}),
                  "无法读取数据：数据应为 JSON 对象");
    expectFailure(run({"--verify-manifest", dir.path().string()}),
                  "无法读取文件：这是一个文件夹（" + dir.path().string() + "）");
}

} // namespace
} // namespace installer::testing
