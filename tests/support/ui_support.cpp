#include "tests/support/ui_support.h"

#include "tests/support/test_env.h"

#include <QApplication>
#include <QMessageBox>

namespace testenv {

BoxRecorder::BoxRecorder()
{
    Schema::message_box_hook = [this](QMessageBox* box) {
        box->show();
        QApplication::processEvents();
        shown_box_t shown{box->windowTitle().toStdString(), box->text().toStdString(),
                          box->informativeText().toStdString(), int(box->standardButtons()),
                          box->defaultButton() ? int(box->standardButton(box->defaultButton())) : 0,
                          box->width()};
        boxes.push_back(shown);
        box->hide();
        if (!answers.empty()) {
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return shown.default_button;
    };
}

BoxRecorder::~BoxRecorder() { Schema::message_box_hook = nullptr; }

std::vector<std::string> BoxRecorder::texts() const
{
    std::vector<std::string> out;
    for (const auto& b : boxes)
        out.push_back(b.text);
    return out;
}

QStringList window_arguments(const std::string& database, const std::string& md_database,
                             const QStringList& extra)
{
    QStringList args{"brolix", "-ds", QString::fromStdString(server()), "-db",
                     QString::fromStdString(database), "-ss", QString::fromStdString(server())};
    if (!md_database.empty())
        args << "-sc" << QString::fromStdString(md_database);
    args << extra;
    return args;
}

std::unique_ptr<Schema> make_window(const QStringList& arguments)
{
    return std::make_unique<Schema>(arguments);
}

} // namespace testenv
