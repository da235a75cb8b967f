#include "tests/support/ui_support.h"

#include <QApplication>
#include <QTreeWidgetItemIterator>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

namespace testenv {

BoxRecorder::BoxRecorder(bool echo)
{
    Schema::message_box_hook = [this, echo](QMessageBox* box) {
        box->show();
        QApplication::processEvents();
        QAbstractButton* by_default = box->defaultButton();
        boxes.push_back({box->windowTitle().toStdString(), box->text().toStdString(),
                         box->informativeText().toStdString(), int(box->standardButtons()),
                         by_default ? int(box->standardButton(by_default)) : 0, box->width()});
        const shown_box_t& shown = boxes.back();
        if (echo)
            std::fprintf(stderr, "BOX[%s|%s|%s]\n", shown.title.c_str(), shown.text.c_str(),
                         shown.informative.c_str());
        box->hide();
        if (answers.empty())
            return shown.default_button;
        int a = answers.front();
        answers.pop_front();
        return a;
    };
}

BoxRecorder::~BoxRecorder() { Schema::message_box_hook = nullptr; }

std::vector<std::string> BoxRecorder::texts() const
{
    std::vector<std::string> out;
    for (const shown_box_t& b : boxes)
        out.push_back(b.text);
    return out;
}

QStringList window_arguments(const std::string& database, const std::string& md_database,
                             const QStringList& extra)
{
    QString host = QString::fromStdString(server());
    QStringList args{"brolix", "-ds", host, "-db", QString::fromStdString(database), "-ss", host};
    if (!md_database.empty())
        args << "-sc" << QString::fromStdString(md_database);
    return args << extra;
}

std::unique_ptr<Schema> make_window(const QStringList& arguments) { return std::make_unique<Schema>(arguments); }

WindowOnData::WindowOnData(const std::string& prefix)
    : data(unique_name(prefix)), schema(data + "_schema"), client(fixture_client())
{
}

WindowOnData::~WindowOnData()
{
    drop_database(client, data);
    drop_database(client, schema);
    mongoc_client_destroy(client);
}

void WindowOnData::insert(const std::string& collection, const std::string& json)
{
    insert_json(client, data, collection, json);
}

std::unique_ptr<Schema> WindowOnData::open(BoxRecorder&, const QStringList& extra)
{
    return make_window(window_arguments(data, schema, extra));
}

namespace {
void count_find(const mongoc_apm_command_started_t* event)
{
    if (std::strcmp(mongoc_apm_command_started_get_command_name(event), "find") == 0)
        ++static_cast<FindCounter*>(mongoc_apm_command_started_get_context(event))->finds;
}
}

FindCounter::FindCounter(mongoc_client_t* c) : client(c)
{
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_started_cb(callbacks, count_find);
    mongoc_client_set_apm_callbacks(client, callbacks, this);
    mongoc_apm_callbacks_destroy(callbacks);
}

FindCounter::~FindCounter() { mongoc_client_set_apm_callbacks(client, nullptr, nullptr); }

QTreeWidgetItem* tree_item(Schema* w, const QString& text)
{
    for (QTreeWidgetItemIterator it(SchemaProbe(w).ui()->treeWidget); *it; ++it)
        if ((*it)->text(0) == text)
            return *it;
    ADD_FAILURE() << "no tree item " << text.toStdString();
    return nullptr;
}

} // namespace testenv

void SchemaProbe::press(QTreeWidgetItem* item)
{
    ui()->treeWidget->setCurrentItem(item);
    w->clicked_on_Tree(item, 0);
}

int SchemaProbe::row_of(const char* sql_name)
{
    for (int r = 0; r < grid()->rowCount(); ++r)
        if (cell(r, 0) == sql_name)
            return r;
    return -1;
}

void SchemaProbe::type(int row, int column, const QString& text)
{
    QTableWidgetItem* item = row >= 0 ? grid()->item(row, column) : nullptr;
    if (!item) {
        ADD_FAILURE() << "no cell " << row << ", " << column << " to type into";
        return;
    }
    grid()->setCurrentCell(row, column);
    item->setText(text);
}

QCheckBox* SchemaProbe::box(int row, int column)
{
    QWidget* cell = grid()->cellWidget(row, column);
    return cell ? cell->findChild<QCheckBox*>() : nullptr;
}
