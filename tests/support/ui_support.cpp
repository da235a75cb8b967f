#include "tests/support/ui_support.h"

#include <QApplication>
#include <QComboBox>
#include <QTreeWidgetItemIterator>

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
        if (echo)
            std::fprintf(stderr, "BOX: %s # %s # %s\n", boxes.back().title.c_str(), boxes.back().text.c_str(),
                         boxes.back().informative.c_str());
        box->hide();
        int answer = answers.empty() ? boxes.back().default_button : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
    };
}

texts_t BoxRecorder::texts() const
{
    texts_t out;
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

WindowOnData::~WindowOnData()
{
    drop_database(client, data);
    drop_database(client, schema);
    drop_database(client, schema + "_journal");
    mongoc_client_destroy(client);
}

void WindowOnData::create()
{
    BoxRecorder boxes;
    open();
}

texts_t WindowOnData::documents(const std::string& filter)
{
    texts_t all;
    for (const char* c : {"tables", "columns", "index"})
        for (const std::string& doc : read_json(client, schema, c, filter))
            all.push_back(doc);
    return all;
}

int WindowOnData::cli(const std::string& command, std::string* output)
{
    return run_cli(command + " -ds " + server() + " -db " + data + " -ss " + server() + " -sc " + schema, output);
}

void WindowOnData::index(const char* collection, const char* keys_json, const char* name)
{
    bson_t keys;
    ASSERT_TRUE(bson_init_from_json(&keys, keys_json, -1, nullptr)) << keys_json;
    bson_t* command = BCON_NEW("createIndexes", BCON_UTF8(collection), "indexes", "[", "{", "key",
                               BCON_DOCUMENT(&keys), "name", BCON_UTF8(name), "}", "]");
    EXPECT_TRUE(mongoc_client_command_simple(client, data.c_str(), command, nullptr, nullptr, nullptr));
    bson_destroy(command);
    bson_destroy(&keys);
}

QTreeWidgetItem* tree_item(Schema* w, const QString& text)
{
    for (QTreeWidgetItemIterator it(SchemaProbe{w}.ui()->treeWidget); *it; ++it)
        if ((*it)->text(0) == text)
            return *it;
    ADD_FAILURE() << "no tree item " << text.toStdString();
    return nullptr;
}

texts_t rows_text(QTableWidget* grid, int first, int last, int column)
{
    texts_t out;
    for (int r = first; r <= (last < 0 ? grid->rowCount() - 1 : last); ++r) {
        std::string row;
        for (int c = column < 0 ? 0 : column; c < (column < 0 ? grid->columnCount() : column + 1); ++c) {
            QWidget* widget = grid->cellWidget(r, c);
            auto* combo = qobject_cast<QComboBox*>(widget);
            QCheckBox* box = widget && !combo ? widget->findChild<QCheckBox*>() : nullptr;
            QTableWidgetItem* item = grid->item(r, c);
            row += (c > std::max(column, 0) ? "|" : "") + (combo ? combo->currentText().toStdString()
                                     : box ? (box->isChecked() ? "[x]" : "[ ]")
                                           : item ? item->text().toStdString() : "");
        }
        out.push_back(row);
    }
    return out;
}

} // namespace testenv

void SchemaProbe::show()
{
    w->show();
    QApplication::setActiveWindow(w);
}

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
    ASSERT_TRUE(row >= 0 && grid()->item(row, column)) << "no cell " << row << ", " << column;
    grid()->setCurrentCell(row, column);
    grid()->item(row, column)->setText(text);
}

QCheckBox* SchemaProbe::box(int row, int column)
{
    QWidget* cell = grid()->cellWidget(row, column);
    return cell ? cell->findChild<QCheckBox*>() : nullptr;
}
