// Runs a fuzz target without libFuzzer: every file of the seed corpus, then a
// fixed series of pseudo-random inputs, so that the ordinary and sanitizer
// builds exercise each target on every test run.
#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int files = 0;
    if (argc > 1) {
        const QDir dir(QString::fromLocal8Bit(argv[1]));
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile f(dir.filePath(name));
            if (!f.open(QIODevice::ReadOnly)) continue;
            const QByteArray b = f.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(b.constData()), b.size());
            ++files;
        }
    }
    std::mt19937 rng(20261208);
    int randoms = 0;
    for (; randoms < 300; ++randoms) {
        std::vector<uint8_t> buf(rng() % 300);
        for (auto& c : buf) c = static_cast<uint8_t>(rng());
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    std::printf("replayed %d corpus files and %d random inputs\n", files, randoms);
    return 0;
}
