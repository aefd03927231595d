#include "transfer/download.h"

#include "platform/file.h"
#include "platform/installer_error.h"
#include "platform/system_error.h"
#include "transfer/content_range.h"
#include "transfer/curl_handle.h"
#include "transfer/location.h"
#include "transfer/resume_record.h"
#include "trust/trusted_url.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace installer::transfer {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr auto downloadFailed = "下载失败";
// A chain longer than this is a loop or an abuse; the transfer fails as refused.
constexpr int maxRedirects = 16;
// A write per TLS record costs the file system more than the copy into this buffer.
constexpr std::size_t gatherBytes = 256 << 10;

// Makes a removal durable, so that a record the folder no longer lists cannot come back
// after a power cut beside bytes it does not describe.
void syncFolder(const fs::path& folder, const platform::DiskSync& disk,
                const platform::EventLog& log) {
    const platform::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        platform::quietly(log, "sync " + folder.string(), [&] {
            disk.sync(fd.get(), platform::SyncDepth::throughDriveCache, folder);
        });
}

// An address as the log keeps it: a query may carry a signed token, which is nobody's
// business but the host's.
std::string withoutQuery(const std::string& url) {
    const auto query = url.find_first_of("?#");
    return query == std::string::npos ? url : url.substr(0, query) + "?…";
}

// libcurl's own words for its code, beside the user's sentence.
const char* curlText(int code) {
    return code == cancelledCode ? "cancelled" : curl_easy_strerror(static_cast<CURLcode>(code));
}

} // namespace

// One run of the transfer: the hops of its redirect chain, the body of the answer that
// is kept, and what a later run needs to continue it.
class Download::Transfer {
public:
    Transfer(const Download& owner, std::stop_token stop)
        : owner_(owner), stop_(std::move(stop)),
          deadline_(SteadyClock::now() + owner.options_.totalTimeout) {}

    DownloadResult perform(std::string url, std::optional<ResumeRecord> resume) {
        resume_ = std::move(resume);
        startURL_ = url;
        firstOffset_ = resume_ ? resume_->bytes : 0;
        platform::Event(log(), "download start")
            .with("url", withoutQuery(url))
            .with("resumeFrom", firstOffset_);
        // The start address was judged by the caller; every hop is judged here.
        auto judged = trust::parseUrl(url);
        for (int hop = 0;; ++hop) {
            const auto pinned = judged ? pinnedURL(*judged) : std::nullopt;
            if (hop > maxRedirects || !pinned)
                return failed();
            if (auto error = request(url, pinned->get()))
                return saveResumeAndFail(error);
            if (staleRange_) {
                // The bytes on disk are of another version: the whole file, at once, from
                // the same address.
                resume_.reset();
                std::error_code ignored;
                if (fs::remove(owner_.resumeFile(), ignored))
                    syncFolder(owner_.destination_.parent_path(), *owner_.options_.disk, log());
                --hop;
                continue;
            }
            if (isRedirect(status_) && location_) {
                const auto next = resolveLocation(url, *location_);
                try {
                    judged = trust::trustedURL(next.value_or(""), owner_.config_);
                } catch (...) {
                    return failed();
                }
                url = *next;
                continue;
            }
            if (resume_ && status_ == 416 && contentRange_ &&
                unsatisfiedLength(*contentRange_) == resume_->bytes) {
                // Every byte was already here: the run that fetched them stopped before it
                // could finish. Whether they are the package is the caller's check.
                written_ = expected_ = resume_->bytes;
                report();
                return finish();
            }
            if (badRange_ || (resume_ && status_ == 416)) {
                // A range answered with other bytes, or refused, cannot be continued:
                // the next run starts from zero instead of failing the same way forever.
                std::error_code ignored;
                fs::remove(owner_.resumeFile(), ignored);
                return failed();
            }
            if (status_ != 200 && status_ != 206)
                return failed();
            return finish();
        }
    }

private:
    // Returns the transport's error, or nothing when an answer (of any status) arrived.
    std::exception_ptr request(const std::string& url, CURLU* pinned) {
        resetResponse();
        const SecureHandle handle({owner_.options_.caBundle, owner_.options_.connectTo});
        CURL* h = handle.get();
        std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, &curl_slist_free_all);
        if (resume_) {
            const std::string range = "Range: bytes=" + std::to_string(resume_->bytes) + "-";
            const std::string ifRange = "If-Range: " + resume_->validator();
            headers.reset(
                curl_slist_append(curl_slist_append(nullptr, range.c_str()), ifRange.c_str()));
            curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
        }
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - SteadyClock::now());
        if (remaining.count() <= 0)
            return totalTimeout();
        curl_easy_setopt(h, CURLOPT_CURLU, pinned);
        curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(owner_.options_.dataTimeout.count()));
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Transfer::onTick);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
        handle_ = h;
        lastData_ = SteadyClock::now();
        const std::int64_t resumeFrom = resume_ ? resume_->bytes : 0;
        const CURLcode code = curl_easy_perform(h);
        platform::Event(log(), "download answer")
            .with("url", withoutQuery(url))
            .with("status", status_)
            .with("resumeFrom", resumeFrom)
            .with("contentRange", contentRange_.value_or(""))
            .with("curlCode", static_cast<int>(code));
        // An answer without a body byte is decided here, as its first bytes would have been:
        // an empty 200 is an empty file.
        if (code == CURLE_OK && !bodyStarted_)
            beginBody();
        handle_ = nullptr;
        closeBody(code == CURLE_OK);
        flushProgress();

        if (callbackError_)
            return callbackError_;
        if (cancelled_ || stop_.stop_requested())
            return std::make_exception_ptr(cancellation());
        if (stalled_)
            return std::make_exception_ptr(
                describeCurlError(CURLE_OPERATION_TIMEDOUT, url, owner_.options_.dataTimeout));
        if (writeErrno_ != 0)
            return std::make_exception_ptr(platform::SystemError(
                writeErrno_, "无法写入文件：" + platform::describeErrno(writeErrno_) + "（" +
                                 owner_.partialFile().string() + "）"));
        if (code == CURLE_OK ||
            (code == CURLE_WRITE_ERROR && (ignoredBody_ || badRange_ || staleRange_)))
            return nullptr;
        if (code == CURLE_OPERATION_TIMEDOUT && SteadyClock::now() >= deadline_)
            return totalTimeout();
        return std::make_exception_ptr(describeCurlError(code, url, owner_.options_.dataTimeout));
    }

    std::exception_ptr totalTimeout() const {
        return std::make_exception_ptr(TransferError(
            CURLE_OPERATION_TIMEDOUT,
            "下载超时：" + secondsText(owner_.options_.totalTimeout) + " 秒内没有完成"));
    }

    void resetResponse() {
        status_ = 0;
        location_.reset();
        etag_.clear();
        lastModified_.clear();
        contentRange_.reset();
        bodyStarted_ = ignoredBody_ = badRange_ = staleRange_ = false;
    }

    // Nothing thrown may cross libcurl: the first error ends the transfer and is its outcome.
    template <typename F> std::size_t guarded(std::size_t failure, F body) {
        try {
            return body();
        } catch (...) {
            if (!callbackError_)
                callbackError_ = std::current_exception();
            return failure;
        }
    }

    static std::size_t onHeader(char* data, std::size_t, std::size_t size, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        return t.guarded(0, [&] { return t.header(std::string_view(data, size)); });
    }

    std::size_t header(std::string_view line) {
        lastData_ = SteadyClock::now();
        if (line.starts_with("HTTP/")) { // a new answer: interim ones come first
            resetResponse();
            const auto blank = line.find(' ');
            if (blank != std::string_view::npos)
                std::from_chars(line.data() + blank + 1, line.data() + line.size(), status_);
        } else if (auto value = headerValue(line, "location")) {
            location_ = *value;
        } else if (auto value = headerValue(line, "etag")) {
            // If-Range needs a strong tag, and one we could not store is no use either.
            etag_ = value->starts_with("W/") || !storableText(*value) ? "" : *value;
        } else if (auto value = headerValue(line, "last-modified")) {
            lastModified_ = storableText(*value) ? *value : "";
        } else if (auto value = headerValue(line, "content-range")) {
            contentRange_ = *value;
        }
        return line.size();
    }

    static std::size_t onBody(char* data, std::size_t, std::size_t size, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        return t.guarded(0, [&] { return t.body(data, size); });
    }

    // Runs for every block the socket yields, so it only gathers and counts: the syncs
    // are the checkpoint thread's, and the file takes the blocks of a stream that keeps
    // coming a quarter megabyte at a time. A short block ends what the socket had, and the
    // socket may now wait: it goes to the file at once.
    std::size_t body(const char* data, std::size_t size) {
        const auto now = SteadyClock::now();
        lastData_ = now;
        if (!bodyStarted_ && !beginBody())
            return 0; // ends the request; the answer is judged by its status
        if (gathered_.size() + size > gatherBytes && !writeGathered())
            return 0;
        gathered_.insert(gathered_.end(), data, data + size);
        if (size < CURL_MAX_WRITE_SIZE && !writeGathered())
            return 0;
        written_ += static_cast<std::int64_t>(size);
        if (written_ > maxPackageBytes) {
            report(); // the report that passes the cap is still delivered
            cancelled_ = capExceeded_ = true;
            return 0;
        }
        if (now - lastReport_ >= owner_.options_.progressInterval)
            report();
        return callbackError_ ? 0 : size;
    }

    static int onTick(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto& t = *static_cast<Transfer*>(self);
        if (t.stop_.stop_requested()) {
            t.cancelled_ = true;
            return 1;
        }
        const auto now = SteadyClock::now();
        if (now - t.lastData_ > t.owner_.options_.dataTimeout) {
            t.stalled_ = true;
            return 1;
        }
        // Bytes the body's throttle held back are shown once their interval is over,
        // even when no more follow: a stalled server must not leave the count behind.
        if (t.file_ && t.reported_ != t.written_ &&
            now - t.lastReport_ >= t.owner_.options_.progressInterval)
            t.report();
        return t.callbackError_ ? 1 : 0;
    }

    // Bytes reach the checkpoints only once they are in the file.
    bool writeGathered() {
        for (std::size_t done = 0; done < gathered_.size();) {
            const ssize_t put =
                ::write(file_.get(), gathered_.data() + done, gathered_.size() - done);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                writeErrno_ = errno;
                return false;
            }
            done += static_cast<std::size_t>(put);
            inFile_ += put;
        }
        gathered_.clear();
        if (checkpoints_)
            checkpoints_->wrote(inFile_);
        return true;
    }

    // Decides where the body goes, at its first bytes, when the status is known.
    bool beginBody() {
        bodyStarted_ = true;
        if (status_ != 200 && status_ != 206) {
            ignoredBody_ = true;
            return false;
        }
        std::int64_t offset = 0;
        if (resume_ && status_ == 206) {
            const auto start = contentRange_ ? rangeStart(*contentRange_) : std::nullopt;
            if (start != resume_->bytes) {
                badRange_ = true;
                return false;
            }
            // A server that ignores If-Range answers with a range of whatever it holds now;
            // only the validator the record was made with vouches for the same version.
            const bool sameVersion = resume_->etag.empty() ? lastModified_ == resume_->lastModified
                                                           : etag_ == resume_->etag;
            if (!sameVersion) {
                staleRange_ = true;
                return false;
            }
            offset = resume_->bytes;
        }
        // A 200 to a range request is the whole, possibly changed, file: start over, and
        // first forget the record of the bytes about to be overwritten.
        resume_.reset();
        if (offset == 0) {
            std::error_code ignored;
            if (fs::remove(owner_.resumeFile(), ignored))
                syncFolder(owner_.destination_.parent_path(), *owner_.options_.disk, log());
        }
        const int flags =
            O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (offset > 0 ? O_APPEND : O_TRUNC);
        file_.reset(::open(owner_.partialFile().c_str(), flags, 0600));
        if (!file_) {
            writeErrno_ = errno;
            return false;
        }
        keptStatus_ = status_;
        firstOffset_ = offset; // a 200 to a range request starts over
        keptETag_ = etag_;
        keptLastModified_ = lastModified_;
        written_ = synced_ = inFile_ = offset;
        gathered_.reserve(gatherBytes);
        Checkpointer::Record record;
        if (continuable())
            record = [this](std::int64_t synced, const std::function<void()>& beforeRename) {
                saveRecord(synced, beforeRename);
            };
        curl_off_t length = -1;
        curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        expected_ = length < 0 ? -1 : offset + length;
        checkpoints_ = std::make_unique<Checkpointer>(
            file_.get(), owner_.partialFile(), offset,
            expected_ <= maxPackageBytes ? expected_ : -1, *owner_.options_.disk,
            std::move(record));
        report();
        return true;
    }

    // Only bytes of a kept answer with a validator can be continued safely.
    bool continuable() const {
        return keptStatus_ != 0 && !(keptETag_.empty() && keptLastModified_.empty());
    }

    // The record never claims more than has been synced to the disk.
    void saveRecord(std::int64_t synced, const std::function<void()>& beforeRename = {}) const {
        if (!continuable() || synced <= 0)
            return;
        const auto text = encodeResumeRecord({startURL_, owner_.partialFile().filename().string(),
                                              synced, keptETag_, keptLastModified_});
        if (!text || text->size() >= resumeRecordLimit)
            return;
        platform::quietly(log(), "save the resume record", [&] {
            try {
                writeResumeRecord(owner_.resumeFile(), *text, *owner_.options_.disk, beforeRename);
            } catch (const Checkpointer::Abandoned&) { // the body has ended: none is needed
            }
        });
    }

    // A whole body becomes the destination and its record goes: syncing it would only
    // make the user wait, since a file that a power cut spoiled fails the digest and is
    // fetched again. A body cut short is synced, so a new start fetches none of it twice.
    void closeBody(bool whole) {
        if (file_)
            writeGathered();
        if (checkpoints_) {
            synced_ = checkpoints_->finish(!whole);
            retired_.push_back(std::move(checkpoints_));
        }
        file_.reset();
    }

    void report() {
        lastReport_ = SteadyClock::now();
        reported_ = written_;
        // A tenth at a time: enough to see where a transfer slowed or stopped.
        if (expected_ > 0 && written_ * 10 / expected_ > loggedTenths_) {
            loggedTenths_ = written_ * 10 / expected_;
            platform::Event(log(), "download progress")
                .with("percent", loggedTenths_ * 10)
                .with("bytes", written_)
                .with("ms", platform::elapsedMilliseconds(started_));
        }
        if (!owner_.progress_)
            return;
        try {
            owner_.progress_(written_, expected_);
        } catch (...) {
            if (!callbackError_)
                callbackError_ = std::current_exception();
        }
    }

    void flushProgress() {
        if (keptStatus_ != 0 && reported_ != written_)
            report();
    }

    DownloadResult saveResumeAndFail(std::exception_ptr error) {
        std::error_code ignored;
        if (capExceeded_) {
            // Continuing would only pass the cap again: nothing of it is kept.
            fs::remove(owner_.resumeFile(), ignored);
            fs::remove(owner_.partialFile(), ignored);
        } else {
            saveRecord(synced_);
        }
        return error;
    }

    DownloadResult failed() const {
        return std::make_exception_ptr(InstallerError(
            downloadFailed,
            "status " + std::to_string(status_) +
                (location_ ? ", redirect refused: " + withoutQuery(*location_) : "") +
                (badRange_ ? ", range answered with other bytes" : "")));
    }

public:
    // What support needs of the whole transfer: how much came, how fast, how it ended.
    void logOutcome(const DownloadResult& outcome) const {
        const std::int64_t bytes = written_ - firstOffset_;
        const std::int64_t ms = platform::elapsedMilliseconds(started_);
        platform::Event event(log(), "download end");
        event.with("url", withoutQuery(startURL_))
            .with("status", keptStatus_ != 0 ? keptStatus_ : status_)
            .with("resumedFrom", firstOffset_)
            .with("bytes", bytes)
            .with("ms", ms)
            .with("kBps", ms > 0 ? bytes / ms : bytes);
        if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
            try {
                std::rethrow_exception(*error);
            } catch (const TransferError& transfer) {
                event.with("result", "failed")
                    .with("curlCode", transfer.code())
                    .with("curlText", curlText(transfer.code()))
                    .with("error", transfer.what());
            } catch (...) {
                event.with("result", "failed").withError();
            }
        } else {
            event.with("result", "ok");
        }
    }

private:
    const platform::EventLog& log() const { return *owner_.options_.log; }

    DownloadResult finish() {
        std::error_code ignored;
        // A file is replaced by the rename in one step, so it is never missing; a folder
        // (or anything else a rename cannot replace) is removed first.
        struct stat info {};
        if (::lstat(owner_.destination_.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            fs::remove_all(owner_.destination_, ignored);
        if (::rename(owner_.partialFile().c_str(), owner_.destination_.c_str()) != 0) {
            const int error = errno;
            fs::remove(owner_.partialFile(), ignored);
            fs::remove(owner_.resumeFile(), ignored);
            try {
                platform::throwSystemError(error, "无法移动下载的文件", owner_.destination_);
            } catch (...) {
                return std::current_exception();
            }
        }
        fs::remove(owner_.resumeFile(), ignored);
        return owner_.destination_;
    }

    const Download& owner_;
    std::stop_token stop_;
    SteadyClock::time_point deadline_;
    std::optional<ResumeRecord> resume_;
    std::string startURL_;
    CURL* handle_ = nullptr;
    platform::UniqueFd file_;
    std::unique_ptr<Checkpointer> checkpoints_;
    std::vector<char> gathered_; // received, not yet in the file
    std::int64_t inFile_ = 0;
    // The answer being received.
    long status_ = 0;
    std::optional<std::string> location_, contentRange_;
    std::string etag_, lastModified_;
    bool bodyStarted_ = false, ignoredBody_ = false, badRange_ = false, staleRange_ = false;

    // The answer whose body is on disk; `synced_` of its bytes are known to be there.
    long keptStatus_ = 0;
    std::string keptETag_, keptLastModified_;
    std::int64_t written_ = 0, synced_ = 0, expected_ = -1, reported_ = -1;

    SteadyClock::time_point lastData_, lastReport_;
    SteadyClock::time_point started_ = SteadyClock::now();
    std::int64_t firstOffset_ = 0, loggedTenths_ = 0;
    bool cancelled_ = false, capExceeded_ = false, stalled_ = false;
    int writeErrno_ = 0;
    std::exception_ptr callbackError_;
    // Those of bodies that ended, a sync perhaps still running; last, so they are
    // waited for before anything their records read goes.
    std::vector<std::unique_ptr<Checkpointer>> retired_;
};

Download::Download(release::Settings config, fs::path destination, ProgressCallback progress,
                   DownloadOptions options)
    : config_(std::move(config)), destination_(std::move(destination)),
      progress_(std::move(progress)), options_(std::move(options)) {}

Download::~Download() {
    cancel();
}

fs::path Download::companion(const char* extension) const {
    return destination_.string() + "." + extension;
}

void Download::start(const std::string& url, CompletionCallback completion) {
    if (thread_.joinable())
        throw std::logic_error("Download::start is called once per object");
    thread_ = std::jthread(
        [this, url, completion = std::move(completion), stop = cancel_.get_token()]() mutable {
            run(std::move(url), std::move(completion), std::move(stop));
        });
}

void Download::cancel() {
    cancel_.request_stop();
}

namespace {

// Whether the file holds exactly `text`; one that cannot be read does not.
bool holdsText(const fs::path& file, std::string_view text) {
    try {
        return platform::readFile(file, text.size()) == text;
    } catch (const std::exception&) {
        return false;
    }
}

// The interrupted transfer's record when it may be continued for exactly this address.
// Bytes past the recorded count may never have reached the disk: they are cut off.
std::optional<ResumeRecord> usableResume(const std::string& url, const fs::path& resumeFile,
                                         const fs::path& sourceFile, const fs::path& partialFile) {
    try {
        const std::string text = platform::readFile(resumeFile, resumeRecordLimit - 1);
        if (text.size() >= resumeRecordLimit)
            return std::nullopt;
        if (!holdsText(sourceFile, url))
            return std::nullopt;
        auto record = decodeResumeRecord(text);
        if (!record || record->url != url || record->partialFile != partialFile.filename().string())
            return std::nullopt;
        const platform::UniqueFd fd(
            ::open(partialFile.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_size < record->bytes || ::ftruncate(fd.get(), record->bytes) != 0)
            return std::nullopt;
        return record;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

void Download::run(std::string url, CompletionCallback completion, std::stop_token stop) {
    DownloadResult outcome;
    // Outlives the completion call: a sync a finished body left running is waited for
    // after the caller has its file, not before.
    std::optional<Transfer> transfer;
    try {
        auto resume = usableResume(url, resumeFile(), sourceFile(), partialFile());
        // Rewritten only when it names another address: on a busy disk even the rename
        // of a few bytes can hold up the start for a tenth of a second.
        if (!holdsText(sourceFile(), url))
            platform::quietly(*options_.log, "write " + sourceFile().string(),
                              [&] { platform::writeFileAtomically(sourceFile(), url); });
        outcome =
            transfer.emplace(*this, std::move(stop)).perform(std::move(url), std::move(resume));
    } catch (...) {
        outcome = std::current_exception();
    }
    if (transfer)
        transfer->logOutcome(outcome);
    else
        platform::Event(*options_.log, "download end")
            .with("result", "failed")
            .withError(std::get<std::exception_ptr>(outcome));
    platform::quietly(*options_.log, "report the download's outcome", [&] {
        if (completion)
            completion(std::move(outcome));
    });
}

} // namespace installer::transfer
