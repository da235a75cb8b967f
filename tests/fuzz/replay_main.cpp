// Without libFuzzer: every file of the directory named on the command line is fed to
// the harness once; an empty directory fails.
#include <QDir>
#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    QDir dir(argc > 1 ? argv[1] : ".");
    const QStringList names = dir.entryList(QDir::Files);
    for (const QString& name : names) {
        QFile file(dir.filePath(name));
        QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    }
    return names.isEmpty();
}
