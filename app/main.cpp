// Process entry: one application object, one Schema window, the event loop.
#include "ui/schema.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    Schema window;
    window.show();
    return application.exec();
}
