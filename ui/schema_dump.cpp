// Appending the current table's schema to the dump file.
#include "ui/schema.h"

#include "core/message.h"
#include "store/files/dump.h"
#include "ui_schema.h"

#include <QFile>
#include <QLabel>
#include <cstdio>
#include <ctime>
#include <string>

bool Schema::append_dump_text(const char* bytes, long long size)
{
    return append_to_debug_file(&dbinfo, bytes, size);
}

void Schema::on_pushButtonDump_clicked()
{
    std::time_t now = std::time(nullptr);
    schema_changed(nullptr);

    char informative[DBINFO_TEXT];
    std::snprintf(informative, sizeof informative, "%.2040s ?", dbinfo.debug_file);
    if (show_message("Dump Schema to", informative, BTN_YES_NO, BTN_YES) != BTN_YES)
        return;

    QByteArray catalog = dbinfo.catalog.toLocal8Bit();
    QByteArray table = dbinfo.table.toLocal8Bit();
    QByteArray virtualTable = dbinfo.virtual_table.toLocal8Bit();
    std::string text = schema_dump_text(dbinfo.columns, catalog.constData(), table.constData(),
                                        virtualTable.constData(), now);
    // The first line alone tells whether the file can be written at all.
    size_t first = text.find('\n') + 1;
    if (!append_dump_text(text.data(), first)) {
        std::snprintf(informative, sizeof informative, "File used was '%.2030s'.", dbinfo.debug_file);
        show_message("Cannot dump schema to log file.", informative, BTN_OK, BTN_OK);
        return;
    }
    ui->errorMsg->setText("Dump Schema: In progress, please wait ...");
    process_pending_events();

    // A file on a slow share should not hold the window either.
    serverWork([&] { append_dump_text(text.data() + first, text.size() - first); });

    ui->errorMsg->setText("");
    std::snprintf(informative, sizeof informative, "%.2040s.", dbinfo.debug_file);
    show_message("Schema dumped to", informative, BTN_OK, BTN_OK);
}
