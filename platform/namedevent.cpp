#include "namedevent.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

namespace {

enum class Found { Ready, Absent, HalfMade, Error };

// Opens the object under its name when it is there and whole. A creator that
// died between creating and initialising it leaves it half-made: too short,
// or without its mark.
Found openExisting(const QByteArray& obj, NamedEvent::Shared** out) {
    const int fd = ::shm_open(obj.constData(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ENOENT ? Found::Absent : Found::Error;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return Found::Error;
    }
    if (st.st_size < static_cast<off_t>(sizeof(NamedEvent::Shared))) {
        ::close(fd);
        return Found::HalfMade;
    }
    void* p =
        ::mmap(nullptr, sizeof(NamedEvent::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return Found::Error;
    auto* s = static_cast<NamedEvent::Shared*>(p);
    if (s->magic.load(std::memory_order_acquire) != kMagic) {
        ::munmap(p, sizeof(NamedEvent::Shared));
        return Found::HalfMade;
    }
    *out = s;
    return Found::Ready;
}

void initialise(NamedEvent::Shared* s) {
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
}

// Creates the object whole under a private name and then links it in under
// its own name, so that no process ever finds it half-made. Null when
// another process put one there first (or the creation failed).
NamedEvent::Shared* createWhole(const QByteArray& obj) {
    static std::atomic<int> serial{0};
    const QByteArray tmp =
        "/veldrin-event-new-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(serial++);
    const int fd = ::shm_open(tmp.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    void* p = MAP_FAILED;
    if (::ftruncate(fd, sizeof(NamedEvent::Shared)) == 0)
        p = ::mmap(nullptr, sizeof(NamedEvent::Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        ::shm_unlink(tmp.constData());
        return nullptr;
    }
    auto* s = static_cast<NamedEvent::Shared*>(p);
    initialise(s);
    // Shared-memory objects are the files of /dev/shm.
    const int linked = ::link(("/dev/shm" + tmp).constData(), ("/dev/shm" + obj).constData());
    ::shm_unlink(tmp.constData());
    if (linked != 0) {
        ::munmap(p, sizeof(NamedEvent::Shared));
        return nullptr;
    }
    return s;
}

}  // namespace

bool NamedEvent::open(const QString& name) {
    close();
    const QByteArray obj = objectName(name);
    Shared* s = nullptr;
    // A few rounds cover another process creating or replacing the object
    // at the same moment.
    for (int round = 0; round < 4 && !s; ++round) {
        const Found f = openExisting(obj, &s);
        if (f == Found::Ready) break;
        if (f == Found::Error) return false;
        // A half-made object is not waited for: its creator died half-way
        // (objects are only ever published whole), so it is replaced.
        if (f == Found::HalfMade) ::shm_unlink(obj.constData());
        s = createWhole(obj);
    }
    if (!s) return false;
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
