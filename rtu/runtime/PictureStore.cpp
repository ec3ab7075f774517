#include "rtu/runtime/PictureStore.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"
#include "rtu/storage/SqlDialect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

namespace rtu {

namespace {

constexpr const char* kFunctionCode = "81";
constexpr const char* kFileError = "Couldn't create the file!";
// How many "-N" names are tried before a picture's file counts as uncreatable.
constexpr int kMaxNameSuffix = 9999;
// Pictures dropped for room are logged at most this often.
constexpr std::chrono::seconds kDropLogEvery{10};

std::string ErrnoText(int error) { return std::string(std::strerror(error)); }

// Writes all of `bytes` at `offset`; false with errno set on failure.
bool WriteAllAt(int fd, const std::string& bytes, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

int CameraNumber(const std::string& camera)
{
    const long long value = AtoiText(camera);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

}  // namespace

PictureStore::PictureStore(const SettingsStore& settings, StatementTarget& statements, RuntimeView& view,
                           SendCommandFn sendCommand)
    : settings_(settings),
      statements_(statements),
      view_(view),
      sendCommand_(std::move(sendCommand)),
      clock_{[] { return std::chrono::steady_clock::now(); }, [] { return std::time(nullptr); }}
{
}

void PictureStore::SetClock(Clock clock)
{
    std::lock_guard<std::mutex> lock(pictureLock_);
    clock_ = std::move(clock);
}

std::string PictureStore::ImageStatement(const std::string& station, const std::string& camera,
                                         const std::string& flag, const std::string& type, const std::string& relative)
{
    return SqlText("exec pro_updateImage '%s','%d','%s','%s','%s','%s'", storage::SqlEscape(station).c_str(),
                   CameraNumber(camera), storage::SqlEscape(flag).c_str(), "0", storage::SqlEscape(type).c_str(),
                   storage::SqlEscape(relative).c_str());
}

std::string PictureStore::SafeNamePart(std::string_view value)
{
    std::string safe;
    safe.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '.' && i + 1 < value.size() && value[i + 1] == '.') {
            safe += '_';
            ++i;
        } else if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) {
            safe += '_';
        } else {
            safe += static_cast<char>(c);
        }
    }
    return safe;
}

// ---- packets -----------------------------------------------------------------

void PictureStore::PutPacket(Picture& picture, const PicturePacket& packet, TimePoint now)
{
    const int n = packet.number;
    picture.lastNumber = n;
    picture.lastPacketTime = now;
    if (n == picture.total) picture.lastPacketArrived = true;

    const int d = n - kWindowSlots * (picture.window - 1);
    Window* window = nullptr;
    if (d >= 1 && d <= kWindowSlots)
        window = &picture.current;
    else if (d > kWindowSlots && d <= 2 * kWindowSlots)
        window = &picture.next;
    if (window == nullptr) return;  // outside the current and the following window

    const int slot = (n - 1) % kWindowSlots;
    window->numbers[static_cast<std::size_t>(slot)] = n;
    window->bytes[static_cast<std::size_t>(slot)] = packet.payload;
    ++window->count;
    window->time = now;
}

void PictureStore::StorePicturePacket(const PicturePacket& packet)
{
    if (packet.number < 1 || packet.total < 1 || packet.number > packet.total) {
        RTU_LOG_DEBUG("picture packet " << packet.number << "/" << packet.total << " of " << packet.station
                                        << " dropped: no such packet number");
        return;
    }
    const char* textKey = nullptr;
    {
        std::lock_guard<std::mutex> lock(pictureLock_);
        const TimePoint now = clock_.steadyNow();
        auto found = pictures_.find(packet.station);
        // A packet numbered 1 with other camera, type, flag or total starts a
        // new picture; a repeated first packet of the same picture is stored
        // like any other.
        const bool restart = found != pictures_.end() && packet.number == 1 &&
                             (found->second.camera != packet.camera || found->second.type != packet.type ||
                              found->second.flag != packet.flag || found->second.total != packet.total);
        if (found == pictures_.end() || restart) {
            Picture picture;
            picture.linkKind = packet.linkKind;
            picture.total = packet.total;
            picture.camera = packet.camera;
            picture.type = packet.type;
            picture.flag = packet.flag;
            picture.current.time = now;
            picture.next.time = now;
            if (restart) Forget(found);
            found = pictures_.emplace(packet.station, std::move(picture)).first;
            textKey = restart ? "Text26" : "Text27";
        }
        PutPacket(found->second, packet, now);
        Account(found->first, found->second);
        MakeRoom(packet.station, now);
    }
    if (textKey != nullptr) view_.PostLogLine(LoadText("MainFrame", textKey));
}

void PictureStore::DiscardPicture(const std::string& station)
{
    std::lock_guard<std::mutex> lock(pictureLock_);
    const auto found = pictures_.find(station);
    if (found == pictures_.end()) return;
    Forget(found);
    RTU_LOG_DEBUG("picture in progress of " << station << " discarded");
}

void PictureStore::Account(const std::string& station, Picture& picture)
{
    std::size_t held = sizeof(Picture) + station.size() + picture.camera.size() + picture.type.size() +
                       picture.flag.size() + picture.folderPath.size() + picture.dayFolder.size() +
                       picture.fileName.size();
    for (const Window* window : {&picture.current, &picture.next})
        for (const std::string& bytes : window->bytes) held += bytes.size();
    heldBytes_ = heldBytes_ - picture.held + held;
    picture.held = held;
}

PictureStore::Pictures::iterator PictureStore::Forget(Pictures::iterator it)
{
    heldBytes_ -= it->second.held;
    return pictures_.erase(it);
}

void PictureStore::MakeRoom(const std::string& keep, TimePoint now)
{
    const auto settings = settings_.Current();
    const std::size_t maxCount = settings->pictureMaxCount;
    const std::size_t maxBytes = static_cast<std::size_t>(settings->pictureMaxMB) * 1024 * 1024;
    while (pictures_.size() > maxCount || heldBytes_ > maxBytes) {
        auto stalled = pictures_.end();
        for (auto it = pictures_.begin(); it != pictures_.end(); ++it)
            if (it->first != keep &&
                (stalled == pictures_.end() || it->second.lastPacketTime < stalled->second.lastPacketTime))
                stalled = it;
        if (stalled == pictures_.end()) break;
        Forget(stalled);
        ++droppedForRoom_;
        ++droppedUnlogged_;
    }
    if (droppedUnlogged_ != 0 && (!droppedLogged_ || now - droppedLoggedAt_ >= kDropLogEvery)) {
        RTU_LOG_ERROR(droppedUnlogged_ << " picture(s) in progress dropped "
                                       << (droppedLogged_ ? "in the last 10 s " : "")
                                       << "to stay within PictureMaxCount=" << maxCount << " and PictureMaxMB="
                                       << settings->pictureMaxMB << " (the ones longest without a packet); "
                                       << pictures_.size() << " pictures, " << heldBytes_ << " bytes held");
        droppedUnlogged_ = 0;
        droppedLogged_ = true;
        droppedLoggedAt_ = now;
    }
}

std::size_t PictureStore::RemoveStale(std::chrono::seconds age)
{
    std::lock_guard<std::mutex> lock(pictureLock_);
    const TimePoint now = clock_.steadyNow();
    std::size_t removed = 0;
    for (auto it = pictures_.begin(); it != pictures_.end();) {
        if (now - it->second.lastPacketTime >= age) {
            RTU_LOG_DEBUG("picture of " << it->first << " dropped: no packet for "
                                        << std::chrono::duration_cast<std::chrono::seconds>(now - it->second.lastPacketTime)
                                               .count()
                                        << " s, " << it->second.filedBytes << " bytes filed");
            it = Forget(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

bool PictureStore::IsRecevingImage()
{
    bool receiving = false;
    {
        std::lock_guard<std::mutex> lock(pictureLock_);
        const TimePoint now = clock_.steadyNow();
        // Finished pictures are removed at once, so every picture still here
        // is incomplete, also one whose final packet came before a gap was filled.
        for (const auto& entry : pictures_) {
            if (now - entry.second.current.time < kReceivingLimit) {
                receiving = true;
                break;
            }
        }
    }
    if (receiving) RTU_LOG_DEBUG("IsRecevingImage:Is receving Image!");
    return receiving;
}

std::size_t PictureStore::InProgress() const
{
    std::lock_guard<std::mutex> lock(pictureLock_);
    return pictures_.size();
}

std::size_t PictureStore::HeldBytes() const
{
    std::lock_guard<std::mutex> lock(pictureLock_);
    return heldBytes_;
}

std::uint64_t PictureStore::DroppedForRoom() const
{
    std::lock_guard<std::mutex> lock(pictureLock_);
    return droppedForRoom_;
}

bool PictureStore::Due(const Picture& picture, TimePoint now)
{
    return now >= picture.holdUntil && (picture.current.count >= kWindowSlots || picture.lastPacketArrived ||
                                        now - picture.current.time > kWindowRetry);
}

// ---- windows -----------------------------------------------------------------

void PictureStore::ExamineWindows()
{
    std::vector<Answer> answers;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(pictureLock_);
        const TimePoint now = clock_.steadyNow();
        for (auto it = pictures_.begin(); it != pictures_.end();) {
            Picture& picture = it->second;
            Examined examined = Examined::Kept;
            // Once a window is filed the following one may be due at once:
            // five packets, or the last one, sent in one go.
            while (examined == Examined::Kept && Due(picture, now)) {
                const int window = picture.window;
                examined = Examine(it->first, picture, now, answers, lines);
                if (window == picture.window) break;
            }
            if (examined == Examined::Remove) {
                it = Forget(it);
            } else {
                Account(it->first, picture);
                ++it;
            }
        }
    }
    for (const std::string& line : lines) view_.PostLogLine(line);
    for (const Answer& answer : answers) {
        if (!sendCommand_ || !sendCommand_(answer.station, kFunctionCode, answer.body, answer.linkKind))
            RTU_LOG_DEBUG("picture answer to " << answer.station << " not sent: " << answer.body);
    }
}

PictureStore::Examined PictureStore::Examine(const std::string& station, Picture& picture, TimePoint now,
                                             std::vector<Answer>& answers, std::vector<std::string>& lines)
{
    Window& window = picture.current;
    window.count = 0;
    picture.lastPacketArrived = false;

    const int base = kWindowSlots * (picture.window - 1);
    std::string missing;
    int missingCount = 0;
    int good = base;
    for (int k = 0; k < kWindowSlots; ++k) {
        const int n = base + k + 1;
        if (window.numbers[static_cast<std::size_t>(k)] != n) {
            missing += std::to_string(n) + " ";
            ++missingCount;
            if (n >= picture.total) break;
        } else {
            good = n;
        }
        if (good == picture.total) break;
    }

    if (!missing.empty()) {
        const std::string body = picture.flag + " " + picture.camera + " " + std::to_string(good) + " " + missing;
        RTU_LOG_DEBUG("picture of " << station << ": window " << picture.window << " lacks " << missing
                                    << "- asking again");
        answers.push_back(Answer{station, body, picture.linkKind});
        window.count = std::max(0, kWindowSlots - missingCount);
        window.time = now;
        return Examined::Kept;
    }

    // The window is complete: its slots in order, up to the picture's last packet.
    std::string bytes;
    bool holdsLast = false;
    for (int k = 0; k < kWindowSlots; ++k) {
        bytes += window.bytes[static_cast<std::size_t>(k)];
        if (base + k + 1 == picture.total) {
            holdsLast = true;
            break;
        }
    }

    // Filed first, acknowledged after: a window that could not be written is
    // not acknowledged and is examined again later.
    std::string error;
    if (!File(station, picture, bytes, error)) {
        RTU_LOG_ERROR("picture of " << station << ", window " << picture.window << " not filed: " << error);
        lines.emplace_back(kFileError);
        window.time = now;
        picture.holdUntil = now + kWindowRetry;
        return Examined::Kept;
    }

    answers.push_back(Answer{station, picture.flag + " " + picture.camera + " " + std::to_string(good),
                             picture.linkKind});
    ++picture.window;

    if (holdsLast) {
        const std::string relative = picture.dayFolder + "\\" + picture.fileName;
        RTU_LOG_DEBUG("picture of " << station << " filed: " << relative << ", " << picture.filedBytes << " bytes");
        lines.push_back(LoadText("MainFrame", "Text28"));
        if (statements_.Used(Database::Main)) {
            const std::string statement =
                ImageStatement(station, picture.camera, picture.flag, picture.type, relative);
            RTU_LOG_DEBUG(statement);
            statements_.Enqueue(Database::Main, statement, station);
        }
    }
    if (holdsLast || good == picture.total) return Examined::Remove;

    // The following window becomes the current one. When it already holds
    // the picture's last packet, nothing more is coming by itself: it is
    // examined now, not after kWindowRetry.
    window = std::move(picture.next);
    picture.next.Clear();
    picture.next.time = now;
    window.time = now;
    const int last = picture.total - kWindowSlots * (picture.window - 1);
    if (last >= 1 && last <= kWindowSlots &&
        window.numbers[static_cast<std::size_t>(last - 1)] == picture.total)
        picture.lastPacketArrived = true;
    return Examined::Kept;
}

// ---- files -----------------------------------------------------------------------

std::string PictureStore::PictureFolder()
{
    const std::string pict = settings_.Current()->pict;
    if (!pict.empty()) return pict;
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    const std::string fallback = ((ec ? std::filesystem::path(".") : here) / "Pictures").string();
    if (!emptyPictLogged_) {
        emptyPictLogged_ = true;
        RTU_LOG_ERROR("the picture folder (Pict of section Set) is not set: pictures are kept in " << fallback);
    }
    return fallback;
}

std::string PictureStore::DayFolderName() const
{
    const std::time_t now = clock_.wallNow();
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return text;
}

bool PictureStore::File(const std::string& station, Picture& picture, const std::string& bytes, std::string& error)
{
    namespace fs = std::filesystem;
    if (!picture.fileName.empty()) {
        if (bytes.empty()) return true;
        // A later window: append after what this picture has written. Bytes of
        // an earlier attempt that failed half-way are cut off first.
        const fs::path path = fs::path(picture.folderPath) / picture.fileName;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = path.string() + ": " + ErrnoText(errno);
            return false;
        }
        bool ok = ::ftruncate(fd, static_cast<off_t>(picture.filedBytes)) == 0 &&
                  WriteAllAt(fd, bytes, picture.filedBytes);
        int saved = errno;
        if (!ok) static_cast<void>(::ftruncate(fd, static_cast<off_t>(picture.filedBytes)));
        if (::close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        if (!ok) {
            error = path.string() + ": " + ErrnoText(saved);
            return false;
        }
        picture.filedBytes += bytes.size();
        return true;
    }

    // The first window: the day folder and a free name are fixed now.
    const std::string dayName = DayFolderName();
    const fs::path folder = fs::path(PictureFolder()) / dayName;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder)) {
        error = folder.string() + ": " + (ec ? ec.message() : std::string("not a folder"));
        return false;
    }
    const std::string stem = SafeNamePart(station) + "-" + SafeNamePart(picture.camera) + "-" +
                             SafeNamePart(picture.type) + "-" + SafeNamePart(picture.flag);
    for (int suffix = 0; suffix <= kMaxNameSuffix; ++suffix) {
        const std::string name = stem + (suffix == 0 ? std::string() : "-" + std::to_string(suffix)) + ".jpg";
        const fs::path path = folder / name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;  // an earlier picture of that name stays as it is
            error = path.string() + ": " + ErrnoText(errno);
            return false;
        }
        bool ok = WriteAllAt(fd, bytes, 0);
        int saved = errno;
        if (::close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        if (!ok) {
            ::unlink(path.c_str());  // only this picture's own new file
            error = path.string() + ": " + ErrnoText(saved);
            return false;
        }
        picture.folderPath = folder.string();
        picture.dayFolder = dayName;
        picture.fileName = name;
        picture.filedBytes = bytes.size();
        return true;
    }
    error = (folder / (stem + ".jpg")).string() + ": no free name";
    return false;
}

}  // namespace rtu
