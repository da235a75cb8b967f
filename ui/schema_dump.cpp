// Appending the current table's schema to the dump file.
#include "ui/schema.h"

#include "app/message.h"
#include "store/records.h"
#include "ui_schema.h"

#include <QFile>
#include <QLabel>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

bool Schema::append_dump_line(const char* label, const char* value)
{
    QFile file(QString::fromLocal8Bit(dbinfo.debug_file));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    if (label && value) {
        file.write(label);
        file.write(value);
        file.write("\r\n");
    }
    file.close();
    return true;
}

void Schema::on_pushButtonDump_clicked()
{
    std::time_t now = std::time(nullptr);
    schema_changed(nullptr);

    char informative[DBINFO_TEXT];
    std::snprintf(informative, sizeof informative, "%.2040s ?", dbinfo.debug_file);
    if (show_message("Dump Schema to", informative, BTN_YES_NO, BTN_YES) != BTN_YES)
        return;
    if (!append_dump_line(" ", "")) {
        std::snprintf(informative, sizeof informative, "File used was '%.2030s'.", dbinfo.debug_file);
        show_message("Cannot dump schema to log file.", informative, BTN_OK, BTN_OK);
        return;
    }
    ui->errorMsg->setText("Dump Schema: In progress, please wait ...");
    process_pending_events();

    QByteArray virtualTable = dbinfo.virtual_table.toLocal8Bit();
    bool isVirtual = !virtualTable.isEmpty();
    QByteArray name = dbinfo.catalog.toLocal8Bit() + "." + dbinfo.table.toLocal8Bit();
    if (isVirtual)
        name += "_" + virtualTable;
    char generated[64];
    std::tm local;
    localtime_r(&now, &local);
    std::strftime(generated, sizeof generated, "%d-%m-%Y %H:%M:%S", &local);

    append_dump_line("\nGenerated     : ", generated);
    append_dump_line(isVirtual ? "\nVirtual Table : " : "\nTable         : ", name.constData());
    append_dump_line(" ", "");

    auto number = [](int value) { return std::to_string(value); };
    for (db_column_t* c = dbinfo.columns; c; c = c->next) {
        const char* sql_name = c->sql_name ? c->sql_name : "";
        if (isVirtual) {
            size_t n = virtualTable.size();
            bool inside = std::strcmp(sql_name, virtualTable.constData()) == 0 ||
                          (std::strncmp(sql_name, virtualTable.constData(), n) == 0 && sql_name[n] == '_');
            if (!inside)
                continue;
        }
        append_dump_line("SQL Column    : ", sql_name);
        append_dump_line("SQL Type      : ", number(c->sql_type).c_str());
        append_dump_line("SQL Index     : ", c->indexes ? "Yes" : "No");
        for (db_index_t* e = c->indexes; e; e = e->next) {
            append_dump_line("  Asc         : ", number(e->asc).c_str());
            append_dump_line("  Index       : ", number(e->index).c_str());
            append_dump_line("  Index Name  : ", e->index_name ? e->index_name : "");
            append_dump_line("  Primary     : ", number(e->primary).c_str());
            append_dump_line("  SQL Column  : ", e->sql_col_name ? e->sql_col_name : "");
            append_dump_line("  Unique      : ", number(e->unique).c_str());
        }
        append_dump_line("Mongo Name    : ", c->mongo_name ? c->mongo_name : "");
        append_dump_line("Mongo Type    : ", number(c->mongo_type).c_str());
        append_dump_line("Length        : ", number(c->length).c_str());
        append_dump_line("Precision     : ", number(c->precision).c_str());
        append_dump_line("Scale         : ", number(c->scale).c_str());
        append_dump_line("Visible       : ", c->visible ? "Yes" : "No");
        append_dump_line("Virtual Array : ", c->virtual_array ? "Yes" : "No");
        append_dump_line(" ", "");
    }

    ui->errorMsg->setText("");
    std::snprintf(informative, sizeof informative, "%.2040s.", dbinfo.debug_file);
    show_message("Schema dumped to", informative, BTN_OK, BTN_OK);
}
