#include "transfer/curl_handle.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstdio>

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
    ERR_clear_error();  // the end of the file is reported as a failed read
    return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

} // namespace

TransferError cancellation() { return TransferError(cancelledCode, "已取消"); }

bool isCancellation(const std::exception_ptr& error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const TransferError& transfer) {
        return transfer.cancelled();
    } catch (...) {
    }
    return false;
}

SecureHandle::SecureHandle(Connection connection)
    : connection_(std::move(connection)), handle_(curl_easy_init()) {
    if (!handle_)
        throw TransferError(CURLE_FAILED_INIT, "网络请求无法开始：libcurl 初始化失败");
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
    if (!connection_.caBundle.empty()) {
        curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &addCertificates);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, connection_.caBundle.c_str());
    }
    for (const auto& route : connection_.connectTo)
        connectTo_.reset(curl_slist_append(connectTo_.release(), route.c_str()));
    if (connectTo_)
        curl_easy_setopt(h, CURLOPT_CONNECT_TO, connectTo_.get());
}

TransferError describeCurlError(CURLcode code, const char* detail) {
    std::string reason;
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        reason = "未能找到使用指定主机名的服务器。";
        break;
    case CURLE_COULDNT_CONNECT:
        reason = "未能连接到服务器。";
        break;
    case CURLE_OPERATION_TIMEDOUT:
        reason = "请求超时。";
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        reason = "此服务器的证书无效，无法确认服务器的身份。";
        break;
    case CURLE_SSL_CONNECT_ERROR:
        reason = "发生了 SSL 错误，无法建立与该服务器的安全连接。";
        break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        reason = "网络连接已中断。";
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        reason = "不支持的网络地址。";
        break;
    default:
        reason = "网络请求失败。";
        break;
    }
    const std::string technical = detail && *detail ? detail : curl_easy_strerror(code);
    return TransferError(code, reason + "（" + technical + "）");
}

std::optional<std::string> resolveLocation(const std::string& base, const std::string& location) {
    std::unique_ptr<CURLU, void (*)(CURLU*)> url(curl_url(), &curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    char* text = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK)
        return std::nullopt;
    std::string resolved = text;
    curl_free(text);
    return resolved;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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
