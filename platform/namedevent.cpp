#include "namedevent.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace platform {

namespace {
constexpr uint32_t kMagic = 0x56454e54;  // set once the object is initialised
}

struct NamedEvent::Shared {
    std::atomic<uint32_t> magic;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int flag;
};

NamedEvent::~NamedEvent() {
    close();
}

QByteArray NamedEvent::objectName(const QString& name) {
    // Shared-memory names take one leading slash and no other; a slash or
    // backslash inside the event name becomes an underscore.
    QByteArray n = name.toLocal8Bit();
    n.replace('/', '_');
    n.replace('\\', '_');
    if (n.size() > 250) n.truncate(250);
    return "/" + n;
}

bool NamedEvent::open(const QString& name) {
    close();
    const QByteArray obj = objectName(name);
    bool creator = true;
    int fd = ::shm_open(obj.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        creator = false;
        fd = ::shm_open(obj.constData(), O_RDWR | O_CLOEXEC, 0600);
    }
    if (fd < 0) return false;
    if (creator && ::ftruncate(fd, sizeof(Shared)) != 0) {
        ::close(fd);
        ::shm_unlink(obj.constData());
        return false;
    }
    if (!creator) {
        // The creator may still be sizing the object; wait briefly for it.
        struct stat st {};
        for (int i = 0; i < 200; ++i) {
            if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Shared))) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (st.st_size < static_cast<off_t>(sizeof(Shared))) {
            ::close(fd);
            return false;
        }
    }
    void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return false;
    auto* s = static_cast<Shared*>(p);
    if (creator) {
        pthread_mutexattr_t ma;
        pthread_mutexattr_init(&ma);
        pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&s->mutex, &ma);
        pthread_mutexattr_destroy(&ma);
        pthread_condattr_t ca;
        pthread_condattr_init(&ca);
        pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
        pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        pthread_cond_init(&s->cond, &ca);
        pthread_condattr_destroy(&ca);
        s->flag = 0;
        s->magic.store(kMagic, std::memory_order_release);
    } else {
        for (int i = 0; i < 200 && s->magic.load(std::memory_order_acquire) != kMagic; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (s->magic.load(std::memory_order_acquire) != kMagic) {
            ::munmap(p, sizeof(Shared));
            return false;
        }
    }
    shared_ = s;
    name_ = name;
    return true;
}

namespace {
// Locks the shared mutex; recovers it when its last owner died holding it.
bool lockShared(pthread_mutex_t* m) {
    const int r = pthread_mutex_lock(m);
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        return true;
    }
    return r == 0;
}
}  // namespace

void NamedEvent::set() {
    if (!shared_ || !lockShared(&shared_->mutex)) return;
    shared_->flag = 1;
    pthread_cond_broadcast(&shared_->cond);
    pthread_mutex_unlock(&shared_->mutex);
}

void NamedEvent::reset() {
    if (!shared_ || !lockShared(&shared_->mutex)) return;
    shared_->flag = 0;
    pthread_mutex_unlock(&shared_->mutex);
}

bool NamedEvent::isSet() {
    if (!shared_ || !lockShared(&shared_->mutex)) return false;
    const bool f = shared_->flag != 0;
    pthread_mutex_unlock(&shared_->mutex);
    return f;
}

bool NamedEvent::wait(int realTimeoutMs) {
    if (!shared_ || !lockShared(&shared_->mutex)) return false;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (realTimeoutMs >= 0) {
        deadline.tv_sec += realTimeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(realTimeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    while (shared_->flag == 0) {
        int r = realTimeoutMs >= 0
                    ? pthread_cond_timedwait(&shared_->cond, &shared_->mutex, &deadline)
                    : pthread_cond_wait(&shared_->cond, &shared_->mutex);
        if (r == EOWNERDEAD) {
            pthread_mutex_consistent(&shared_->mutex);
        } else if (r == ETIMEDOUT) {
            break;
        }
    }
    const bool f = shared_->flag != 0;
    pthread_mutex_unlock(&shared_->mutex);
    return f;
}

void NamedEvent::close() {
    if (shared_) ::munmap(shared_, sizeof(Shared));
    shared_ = nullptr;
    name_.clear();
}

}  // namespace platform
