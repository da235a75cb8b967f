// Process entry: one application object, one Schema window, the event loop.
#include "core/secrets.h"
#include "startup/cmdline.h"
#include "ui/schema.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // arguments() reads argv again on every call: keep a copy, then hide the passwords there.
    QStringList arguments = QCoreApplication::arguments();
    hide_command_line_passwords(argc, argv);
    install_log_scrubber();
    Schema window(arguments);
    window.show();
    return application.exec();
}
