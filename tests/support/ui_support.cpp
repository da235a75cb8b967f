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
        int answer = answers.empty() ? shown.default_button : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
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

void WindowOnData::index(const char* collection, const char* keys_json, const char* name)
{
    bson_t keys;
    ASSERT_TRUE(bson_init_from_json(&keys, keys_json, -1, nullptr)) << keys_json;
    bson_t* command = BCON_NEW("createIndexes", BCON_UTF8(collection), "indexes", "[", "{", "key",
                               BCON_DOCUMENT(&keys), "name", BCON_UTF8(name), "}", "]");
    bson_error_t error;
    EXPECT_TRUE(mongoc_client_command_simple(client, data.c_str(), command, nullptr, nullptr, &error))
        << error.message;
    bson_destroy(command);
    bson_destroy(&keys);
}

std::unique_ptr<Schema> WindowOnData::open(const QStringList& extra)
{
    return std::make_unique<Schema>(window_arguments(data, schema, extra));
}

int WindowOnData::count(const char* collection, const std::string& filter)
{
    return int(read_json(client, schema, collection, filter).size());
}

namespace {
void count_find(const mongoc_apm_command_started_t* event)
{
    if (std::strcmp(mongoc_apm_command_started_get_command_name(event), "find") == 0)
        ++static_cast<FindCounter*>(mongoc_apm_command_started_get_context(event))->finds;
}
} // namespace

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

std::string row_text(QTableWidget* grid, int row)
{
    std::string out;
    for (int c = 0; c < grid->columnCount(); ++c) {
        QWidget* widget = grid->cellWidget(row, c);
        auto* combo = qobject_cast<QComboBox*>(widget);
        QCheckBox* box = widget && !combo ? widget->findChild<QCheckBox*>() : nullptr;
        QTableWidgetItem* item = grid->item(row, c);
        out += c ? "|" : "";
        out += combo ? combo->currentText().toStdString()
               : box ? (box->isChecked() ? "[x]" : "[ ]")
                     : item ? item->text().toStdString() : "";
    }
    return out;
}

texts_t rows_text(QTableWidget* grid)
{
    texts_t out;
    for (int r = 0; r < grid->rowCount(); ++r)
        out.push_back(row_text(grid, r));
    return out;
}

texts_t column_texts(QTableWidget* grid, int column)
{
    std::vector<std::string> out;
    for (int r = 0; r < grid->rowCount(); ++r)
        out.push_back(grid->item(r, column) ? grid->item(r, column)->text().toStdString() : "<no item>");
    return out;
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
