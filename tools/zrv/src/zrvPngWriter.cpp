#include "zrvPngWriter.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zrv {

namespace {

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string file_name_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string cannot_write(const std::string& path, const std::string& reason) {
    return "cannot write '" + path + "': " + reason;
}

// mkstemp creates files readable by the owner only; give the image the
// permissions a newly created file gets under the current umask.
void apply_default_permissions(int fd) {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

} // namespace

bool check_output_path(const std::string& path, std::string& error) {
    if (path.empty() || path.back() == '/') {
        error = cannot_write(path, "not a file name");
        return false;
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = cannot_write(path, "it is a directory");
        return false;
    }
    const std::string directory = directory_of(path);
    if (stat(directory.c_str(), &info) != 0) {
        error = cannot_write(path, "directory '" + directory + "': " + std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = cannot_write(path, "'" + directory + "' is not a directory");
        return false;
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        error = cannot_write(path, "directory '" + directory + "': " + std::strerror(errno));
        return false;
    }
    return true;
}

bool write_png(const Image& image, const std::string& path, std::string& error) {
    if (!check_output_path(path, error))
        return false;
    if (image.width <= 0 || image.height <= 0 ||
        image.rgb.size() != std::size_t(image.width) * std::size_t(image.height) * 3) {
        error = cannot_write(path, "the image is empty");
        return false;
    }

    std::string temporary = directory_of(path) + "/." + file_name_of(path) + ".XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = cannot_write(path, std::strerror(errno));
        return false;
    }
    temporary = name.data();
    apply_default_permissions(fd);
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        error = cannot_write(path, std::strerror(errno));
        close(fd);
        unlink(temporary.c_str());
        return false;
    }

    png_image png;
    std::memset(&png, 0, sizeof(png));
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    const bool encoded =
        png_image_write_to_stdio(&png, file, 0, image.rgb.data(), image.width * 3, nullptr) != 0;
    std::string reason = encoded ? "" : png.message;
    png_image_free(&png);

    const bool flushed = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (encoded && !flushed)
        reason = std::strerror(errno);
    const bool closed = std::fclose(file) == 0;
    if (encoded && flushed && !closed)
        reason = std::strerror(errno);

    if (!(encoded && flushed && closed)) {
        unlink(temporary.c_str());
        error = cannot_write(path, reason);
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = cannot_write(path, std::strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace zrv
