// The Profile view: what the sample of the selected table's collection holds, column by
// column, beside the SQL type the schema saved.
#include "ui/schema.h"

#include "core/connect.h"
#include "core/wire.h"
#include "discovery/discover.h"
#include "store/analysis/profile.h"
#include "ui_profile.h"
#include "ui_schema.h"

#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <algorithm>
#include <cstring>

namespace {

void fill_profile(Ui_Profile* view, const table_profile_t& table, int strategy)
{
    view->summary->setText(QString("%1: %2 documents sampled (%3)")
                               .arg(QString::fromStdString(table.table))
                               .arg(table.documents)
                               .arg(sample_strategy_name(strategy)));
    QTableWidget* grid = view->profileTable;
    grid->setRowCount(static_cast<int>(table.columns.size()));
    int row = 0;
    for (const profile_column_t& c : table.columns) {
        double share = table.documents ? 100.0 * c.seen.documents / table.documents : 0;
        QString lengths = c.seen.longest >= 0 ? QString("%1 - %2").arg(c.seen.shortest).arg(c.seen.longest) : "";
        QString sql = QString::fromStdString(profile_sql_type_name(c.sql_type));
        if (c.saved_sql_type && c.saved_sql_type != c.sql_type)
            sql += " (saved " + QString::fromStdString(profile_sql_type_name(c.saved_sql_type)) + ")";
        QString decided = c.decided_id.empty() ? "" : "_id " + QString::fromStdString(c.decided_id);
        if (c.seen.decided_before)
            decided += " (was " + QString::fromStdString(profile_sql_type_name(c.seen.decided_before)) + ")";
        QStringList marks;
        if (c.unfit)
            marks << "does not fit " + QString::fromStdString(profile_sql_type_name(c.saved_sql_type));
        if (c.rare)
            marks << "rare";
        const QString cells[] = {QString::fromStdString(c.mongo_name),
                                 QString("%1% (%2)").arg(share, 0, 'f', 1).arg(c.seen.documents),
                                 QString::fromStdString(profile_type_mix(c.seen)),
                                 QString::number(profile_nulls(&c.seen)),
                                 lengths,
                                 sql,
                                 decided,
                                 marks.join(", ")};
        for (int column = 0; column < 8; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            if (c.unfit)
                item->setBackground(QColor(255, 200, 200));
            else if (c.rare)
                item->setForeground(QColor(120, 120, 120));
            grid->setItem(row, column, item);
        }
        ++row;
    }
    grid->resizeColumnsToContents();
}

} // namespace

void Schema::on_pushButtonProfile_clicked()
{
    if (dbinfo.table.isEmpty())
        return;
    QString table = dbinfo.table;
    std::vector<std::string> names{table.toStdString()};
    std::vector<table_profile_t> tables;
    int code = 0;
    std::string where;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool read = false;
    ui->errorMsg->setText("Profile: In progress, please wait ...");
    bool done = serverWork([&] { read = profile_tables(&dbinfo, names, &tables, &code, &where, &error); });
    if (!done || !read || tables.empty()) {
        char plain[DBINFO_TEXT];
        if (!done || cancelling())
            std::snprintf(plain, sizeof plain, "cancelled");
        else if (code == PROFILE_NO_SUCH_TABLE)
            std::snprintf(plain, sizeof plain, "the data database has no collection '%.1000s'", where.c_str());
        else if (dbinfo.sample_strategy == SAMPLE_RANDOM && std::strstr(error.message, "$sample"))
            std::snprintf(plain, sizeof plain, "the data server cannot sample at random ($sample)");
        else
            describe_request_failure(&dbinfo, SIDE_DATA, &error, plain);
        QString line = "The profile of '" + table + "' could not be read: " + QString::fromUtf8(plain) + ".";
        ui->errorMsg->setText(line);
        debugReadFault(line, &error);
        return;
    }
    ui->errorMsg->setText("");

    // A view of its own beside the window, which stays usable; it goes when closed.
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* view = new Ui_Profile;
    view->setupUi(dialog);
    fill_profile(view, tables.front(), dbinfo.sample_strategy);
    // Wide and tall enough for the whole table where the screen allows.
    QTableWidget* grid = view->profileTable;
    int width = grid->horizontalHeader()->length() + grid->frameWidth() * 2 + 40;
    int height = grid->verticalHeader()->length() + grid->horizontalHeader()->height() + 160;
    dialog->resize(std::min(std::max(width, dialog->width()), 1400), std::min(std::max(height, 300), 800));
    connect(dialog, &QObject::destroyed, [view] { delete view; });
    dialog->show();
}
