#include "ui/history_view.h"

#include "store/analysis/drift.h"
#include "store/write/lock.h"
#include "ui_history.h"

#include <QHeaderView>
#include <QTableWidgetItem>
#include <string>

namespace {

enum { VERSION_COL_NUMBER, VERSION_COL_TIME, VERSION_COL_WHO, VERSION_COL_WHAT, VERSION_COL_COUNTS };
enum { CHANGE_COL_TABLE, CHANGE_COL_WHAT, CHANGE_COL_BEFORE, CHANGE_COL_AFTER };

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// version_line cut into its columns, so that the grid says what brolix-cli history says.
QStringList line_columns(const version_t& v)
{
    const std::string line = version_line(v), counts = version_counts(v);
    const std::string number = std::to_string(v.number), at = local_minute(v.at);
    const std::string who = v.user.empty() ? v.host : v.user + "@" + v.host;
    const std::string head = number + "  " + at + "  " + who + "  ";
    std::string what = line; // whole, should the line ever be laid out otherwise
    if (line.rfind(head, 0) == 0 && ends_with(line, ": " + counts) && line.size() >= head.size() + counts.size() + 2)
        what = line.substr(head.size(), line.size() - head.size() - counts.size() - 2);
    return {QString::fromStdString(number), QString::fromStdString(at), QString::fromStdString(who),
            QString::fromStdString(what), QString::fromStdString(counts)};
}

void fill_change(QTableWidget* grid, const drift_t* differences)
{
    int rows = 0;
    for (const drift_t* d = differences; d; d = d->next)
        ++rows;
    grid->setRowCount(rows);
    int row = 0;
    for (const drift_t* d = differences; d; d = d->next, ++row) {
        drift_t one = *d; // its own line, in the words of diff, less the table it names first
        one.next = nullptr;
        std::string line = drift_text(&one);
        const std::string table = d->table ? d->table : "";
        if (line.rfind(table + ": ", 0) == 0)
            line.erase(0, table.size() + 2);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        const std::string cells[] = {table, line, drift_side_text(d, true), drift_side_text(d, false)};
        for (int column = CHANGE_COL_TABLE; column <= CHANGE_COL_AFTER; ++column)
            grid->setItem(row, column, new QTableWidgetItem(QString::fromUtf8(cells[column].c_str())));
    }
    grid->resizeColumnsToContents();
    // Sized to the contents while shown, the last column stretches again only when asked.
    grid->horizontalHeader()->setStretchLastSection(false);
    grid->horizontalHeader()->setStretchLastSection(true);
}

} // namespace

HistoryView::HistoryView(const std::vector<version_t>& versions, bool can_revert, read_fn read,
                         std::function<void()> cancel_read, QWidget* parent)
    : QDialog(parent), ui(new Ui_HistoryView), read(std::move(read)), cancel_read(std::move(cancel_read)),
      can_revert(can_revert)
{
    ui->setupUi(this);
    ui->pushButtonRevert->setVisible(can_revert);
    QTableWidget* grid = ui->versionGrid;
    grid->setRowCount(static_cast<int>(versions.size()));
    int row = 0;
    for (const version_t& v : versions) {
        numbers.push_back(v.number);
        const QStringList cells = line_columns(v);
        for (int column = VERSION_COL_NUMBER; column <= VERSION_COL_COUNTS; ++column) {
            QTableWidgetItem* item = new QTableWidgetItem(cells[column]);
            if (column == VERSION_COL_NUMBER)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->setItem(row, column, item);
        }
        ++row;
    }
    grid->resizeColumnsToContents();
    ui->splitter->setStretchFactor(1, 1);
    ui->historyMsg->setText(versions.empty() ? "No version is recorded." : QString("%1 versions").arg(versions.size()));
    connect(grid, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) { versionPicked(row); });
}

HistoryView::~HistoryView()
{
    delete ui;
}

void HistoryView::showVersion(int row)
{
    if (row == ui->versionGrid->currentRow())
        versionPicked(row);
    else
        ui->versionGrid->setCurrentCell(row, VERSION_COL_NUMBER);
}

int64_t HistoryView::selectedVersion() const
{
    int row = ui->versionGrid->currentRow();
    return row >= 0 && row < static_cast<int>(numbers.size()) ? numbers[row] : 0;
}

void HistoryView::versionPicked(int row)
{
    if (reading || row < 0 || row >= static_cast<int>(numbers.size()))
        return;
    const int64_t number = numbers[row];
    ui->changeGrid->setRowCount(0);
    ui->changeTitle->setText(QString("Version %1 changed:").arg(number));
    // One read at a time: the versions wait until this one is shown.
    reading = true;
    ui->versionGrid->setEnabled(false);
    ui->pushButtonRevert->setEnabled(false);
    ui->historyMsg->setText(QString("Reading version %1, please wait ...").arg(number));
    drift_t* differences = nullptr;
    QString why;
    bool read_done = read(number, &differences, &why);
    reading = false;
    ui->versionGrid->setEnabled(true);
    ui->versionGrid->setFocus();
    ui->pushButtonRevert->setEnabled(can_revert);
    if (!read_done) {
        ui->historyMsg->setText(QString("What version %1 changed could not be read: %2").arg(number).arg(why));
        free_drift(differences);
        return;
    }
    fill_change(ui->changeGrid, differences);
    free_drift(differences);
    ui->historyMsg->setText(ui->changeGrid->rowCount() ? QString("%1 versions").arg(numbers.size())
                                                       : QString("Version %1 changed nothing.").arg(number));
}

void HistoryView::reject()
{
    if (reading && cancel_read)
        cancel_read();
    QDialog::reject();
}

void HistoryView::on_pushButtonRevert_clicked()
{
    if (selectedVersion())
        accept();
}

void HistoryView::on_pushButtonClose_clicked()
{
    reject();
}
