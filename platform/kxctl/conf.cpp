// Configuration handles: a file's lines read at open, its settings after
// parse, C parameter records handed out and taken back, and the atomic
// rewrite (temporary file in the same directory, then rename).
#include "conf_text.h"
#include "guard.h"
#include "kxctl.h"
#include "layout.h"
#include "owned_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

struct kxctl_conf {
    int mode = KXCTL_CONF_READ;
    std::vector<std::string> lines;
    std::optional<kxctl::conf_settings> settings;
};

namespace {

bool read_whole(int fd, std::string &text) {
    char chunk[4096];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        text.append(chunk, static_cast<size_t>(got));
    }
}

bool write_whole(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// Writes text to path through a temporary sibling and rename, so readers see
// the old file or the new one, never a part.
bool replace_file(const std::string &path, const std::string &text) {
    std::string temp = path + ".XXXXXX";
    kxctl::owned_fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return false;
    bool written = fchmod(fd.get(), 0644) == 0 && write_whole(fd.get(), text) && fsync(fd.get()) == 0;
    int closed = ::close(fd.release());
    if (!written || closed != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

void free_veth_list(kxctl_link *head) {
    if (head == nullptr) return;
    kxctl_link *link = head->next;
    while (link != nullptr && link != head) {
        kxctl_link *next = link->next;
        kxctl_veth *veth = reinterpret_cast<kxctl_veth *>(link);
        std::free(veth->network);
        std::free(veth);
        link = next;
    }
    std::free(head);
}

// The parameters as a malloc'd C record (freed by kxctl_free_env_param).
kxctl_env_param *to_param(const kxctl::conf_settings &settings) {
    std::unique_ptr<kxctl_env_param, void (*)(kxctl_env_param *)> param(
        static_cast<kxctl_env_param *>(std::calloc(1, sizeof(kxctl_env_param))), kxctl_free_env_param);
    if (!param) return nullptr;
    if (settings.root && (param->root = strdup(settings.root->c_str())) == nullptr) return nullptr;
    kxctl_link *head = static_cast<kxctl_link *>(std::calloc(1, sizeof(kxctl_link)));
    if (head == nullptr) return nullptr;
    head->next = head->prev = head;
    param->veth_list = head;
    for (const kxctl::veth_setting &setting : settings.veths) {
        kxctl_veth *veth = static_cast<kxctl_veth *>(std::calloc(1, sizeof(kxctl_veth)));
        if (veth == nullptr) return nullptr;
        snprintf(veth->dev_name, sizeof veth->dev_name, "%s", setting.dev_name.c_str());
        veth->link.prev = head->prev;
        veth->link.next = head;
        head->prev->next = &veth->link;
        head->prev = &veth->link;
        if (setting.network && (veth->network = strdup(setting.network->c_str())) == nullptr) return nullptr;
    }
    return param.release();
}

kxctl::conf_settings from_param(const kxctl_env_param &param) {
    kxctl::conf_settings settings;
    if (param.root != nullptr) settings.root = param.root;
    kxctl_link *head = param.veth_list;
    if (head == nullptr) return settings;
    for (kxctl_link *link = head->next; link != nullptr && link != head; link = link->next) {
        const kxctl_veth *veth = reinterpret_cast<const kxctl_veth *>(link);
        kxctl::veth_setting setting{std::string(veth->dev_name, strnlen(veth->dev_name, sizeof veth->dev_name)),
                                    std::nullopt};
        if (veth->network != nullptr) setting.network = veth->network;
        settings.veths.push_back(std::move(setting));
    }
    return settings;
}

} // namespace

extern "C" int kxctl_get_env_conf_path(uint32_t ctid, char *buf, int size) {
    return kxctl::guarded(-1, [&] {
        if (buf == nullptr || size <= 0) return -1;
        std::string path = kxctl::conf_path(ctid);
        if (path.size() >= static_cast<size_t>(size)) {
            buf[0] = '\0';
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(buf, path.c_str(), path.size() + 1);
        return 0;
    });
}

extern "C" kxctl_conf *kxctl_conf_open(const char *path, int mode) {
    return kxctl::guarded<kxctl_conf *>(nullptr, [&]() -> kxctl_conf * {
        if (path == nullptr || (mode != KXCTL_CONF_READ && mode != KXCTL_CONF_WRITE)) {
            errno = EINVAL;
            return nullptr;
        }
        auto conf = std::make_unique<kxctl_conf>();
        conf->mode = mode;
        kxctl::owned_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
        std::string text;
        if (fd) {
            if (!read_whole(fd.get(), text)) return nullptr;
        } else if (errno != ENOENT || mode != KXCTL_CONF_WRITE) {
            return nullptr; // only a handle for writing may start a new file
        }
        conf->lines = kxctl::split_lines(text);
        return conf.release();
    });
}

extern "C" int kxctl_conf_parse(uint32_t, kxctl_conf *conf) {
    return kxctl::guarded(-1, [&] {
        if (conf == nullptr) return -1;
        conf->settings = kxctl::parse_settings(conf->lines);
        if (!conf->settings) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    });
}

extern "C" kxctl_env_param *kxctl_conf_get_env_param(kxctl_conf *conf) {
    return kxctl::guarded<kxctl_env_param *>(nullptr, [&]() -> kxctl_env_param * {
        if (conf == nullptr || !conf->settings) return nullptr;
        return to_param(*conf->settings);
    });
}

extern "C" int kxctl_conf_set_env_param(kxctl_conf *conf, kxctl_env_param *param) {
    return kxctl::guarded(-1, [&] {
        if (conf == nullptr || param == nullptr || conf->mode != KXCTL_CONF_WRITE) {
            errno = EINVAL;
            return -1;
        }
        kxctl::conf_settings settings = from_param(*param);
        if (!kxctl::settings_writable(settings)) {
            errno = EINVAL;
            return -1;
        }
        conf->settings = std::move(settings);
        return 0;
    });
}

extern "C" int kxctl_conf_save(kxctl_conf *conf, const char *path) {
    return kxctl::guarded(-1, [&] {
        if (conf == nullptr || path == nullptr || conf->mode != KXCTL_CONF_WRITE) {
            errno = EINVAL;
            return -1;
        }
        std::string text;
        if (conf->settings)
            text = kxctl::render_settings(conf->lines, *conf->settings);
        else
            for (const std::string &line : conf->lines) text += line + "\n";
        if (!replace_file(path, text)) return -1;
        conf->lines = kxctl::split_lines(text);
        return 0;
    });
}

extern "C" void kxctl_free_env_param(kxctl_env_param *param) {
    if (param == nullptr) return;
    std::free(param->root);
    free_veth_list(param->veth_list);
    std::free(param);
}

extern "C" void kxctl_conf_close(kxctl_conf *conf) { delete conf; }
