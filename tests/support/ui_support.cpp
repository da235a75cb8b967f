#include "tests/support/ui_support.h"

#include "tests/support/test_env.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace testenv {

BoxRecorder::BoxRecorder(bool echo)
{
    Schema::message_box_hook = [this, echo](QMessageBox* box) {
        box->show();
        QApplication::processEvents();
        shown_box_t shown{box->windowTitle().toStdString(), box->text().toStdString(),
                          box->informativeText().toStdString(), int(box->standardButtons()),
                          box->defaultButton() ? int(box->standardButton(box->defaultButton())) : 0,
                          box->width()};
        boxes.push_back(shown);
        if (echo)
            std::fprintf(stderr, "BOX[%s|%s|%s]\n", shown.title.c_str(), shown.text.c_str(),
                         shown.informative.c_str());
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

#include <QTreeWidgetItemIterator>
#include <gtest/gtest.h>
#include <cstring>

namespace testenv {

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

std::unique_ptr<Schema> WindowOnData::open(BoxRecorder& boxes, const QStringList& extra)
{
    (void)boxes;
    return make_window(window_arguments(data, schema, extra));
}

namespace {
void count_find(const mongoc_apm_command_started_t* event)
{
    auto* counter = static_cast<FindCounter*>(mongoc_apm_command_started_get_context(event));
    if (std::strcmp(mongoc_apm_command_started_get_command_name(event), "find") == 0)
        ++counter->finds;
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
    return nullptr;
}

int GridDriver::row_of(const char* sql_name) const
{
    for (int r = 0; r < grid->rowCount(); ++r)
        if (grid->item(r, 0) && grid->item(r, 0)->text() == sql_name)
            return r;
    return -1;
}

void GridDriver::type(int row, int column, const QString& text) const
{
    QTableWidgetItem* item = row >= 0 ? grid->item(row, column) : nullptr;
    if (!item) {
        ADD_FAILURE() << "no cell " << row << ", " << column << " to type into";
        return;
    }
    grid->setCurrentCell(row, column);
    item->setText(text);
}

QCheckBox* GridDriver::box(int row, int column) const
{
    QWidget* cell = grid->cellWidget(row, column);
    return cell ? cell->findChild<QCheckBox*>() : nullptr;
}

QComboBox* GridDriver::combo(int row, int column) const
{
    return qobject_cast<QComboBox*>(grid->cellWidget(row, column));
}

} // namespace testenv
