#include "transfer/curl_handle.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace installer::transfer {

namespace {

// Adds the edition's extra CA to the store libcurl has already filled with the system's
// certificates; CURLOPT_CAINFO would replace them instead.
CURLcode addCertificates(CURL*, void* context, void* file) {
    auto* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
        std::fopen(static_cast<const char*>(file), "re"), &std::fclose);
    if (!in)
        return CURLE_SSL_CACERT_BADFILE;
    int added = 0;
    while (X509* certificate = PEM_read_X509(in.get(), nullptr, nullptr, nullptr)) {
        added += X509_STORE_add_cert(store, certificate) == 1;
        X509_free(certificate);
    }
    ERR_clear_error(); // the end of the file is reported as a failed read
    return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

} // namespace

TransferError cancellation() {
    return TransferError(cancelledCode, "已取消");
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const TransferError& transfer) {
        return transfer.cancelled();
    } catch (...) {
        return false; // an error of another kind is a failure, which the caller reports
    }
    return false;
}

SecureHandle::SecureHandle(Connection connection)
    : connection_(std::move(connection)), handle_(curl_easy_init()) {
    if (!handle_)
        throw TransferError(CURLE_FAILED_INIT, "网络请求无法开始");
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors_);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tavelo-installer");
    // The suite every TLS 1.3 peer has, first: a package costs the host and us about a
    // third less to encrypt and decrypt than with the 256-bit key a peer would pick
    // otherwise. A TLS library that cannot be told keeps its own order.
    curl_easy_setopt(h, CURLOPT_TLS13_CIPHERS,
                     "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    if (!connection_.caBundle.empty()) {
        curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &addCertificates);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, connection_.caBundle.c_str());
    }
    for (const auto& route : connection_.connectTo)
        connectTo_.reset(curl_slist_append(connectTo_.release(), route.c_str()));
    if (connectTo_)
        curl_easy_setopt(h, CURLOPT_CONNECT_TO, connectTo_.get());
}

std::string secondsText(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0')
            fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}

TransferError describeCurlError(CURLcode code, std::string_view url,
                                std::chrono::milliseconds dataTimeout) {
    const auto parsed = trust::parseUrl(url);
    const std::string server =
        "服务器“" + (parsed && parsed->host ? *parsed->host : std::string(url)) + "”";
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return TransferError(code, "找不到" + server + "，请检查网络连接");
    case CURLE_COULDNT_CONNECT:
        return TransferError(code, "无法连接到" + server + "，请检查网络连接");
    case CURLE_OPERATION_TIMEDOUT:
        return TransferError(code, "请求超时：" + secondsText(dataTimeout) + " 秒内没有收到数据");
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return TransferError(code, server + "的证书无效，无法确认它的身份");
    case CURLE_SSL_CONNECT_ERROR:
        return TransferError(code, "无法与" + server + "建立安全连接");
    case CURLE_GOT_NOTHING:
        return TransferError(code, "网络连接已中断：" + server + "没有返回任何数据");
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return TransferError(code, "网络连接已中断：与" + server + "的连接在传输中断开");
    default:
        return TransferError(code, "网络请求失败（错误代码 " + std::to_string(code) + "）");
    }
}

std::optional<CurlURL> pinnedURL(const trust::Url& judged) {
    CurlURL url(curl_url(), &curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, judged.text.c_str(),
                             CURLU_PATH_AS_IS | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    const auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(url.get(), which, &text, 0) != CURLUE_OK || !text)
            return std::nullopt;
        std::string value = text;
        curl_free(text);
        return value;
    };
    const auto host = part(CURLUPART_HOST);
    const bool bracketed = host && host->starts_with('[');
    const auto port = part(CURLUPART_PORT);
    const auto digits = judged.port
                            ? judged.port->substr(std::min(judged.port->find_first_not_of('0'),
                                                           judged.port->size() - 1))
                            : std::string();
    const auto path = part(CURLUPART_PATH);
    const bool same = part(CURLUPART_SCHEME) == judged.scheme && judged.host &&
                      host == (bracketed ? "[" + *judged.host + "]" : *judged.host) &&
                      port == (judged.port ? std::optional(digits) : std::nullopt) &&
                      path == (judged.path.empty() ? "/" : judged.path) && !part(CURLUPART_QUERY) &&
                      !part(CURLUPART_FRAGMENT) && !part(CURLUPART_USER) &&
                      !part(CURLUPART_PASSWORD);
    if (!same)
        return std::nullopt;
    return url;
}

std::optional<std::string> headerValue(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':')
        return std::nullopt;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return std::nullopt;
    std::string_view value = line.substr(name.size() + 1);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!value.empty() && blank(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && blank(value.back()))
        value.remove_suffix(1);
    return std::string(value);
}

} // namespace installer::transfer
