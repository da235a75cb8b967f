// A plan: what diff finds, as numbered items, and how each reads.
#include "store/analysis/plan_parts.h"

#include "core/dbinfo.h"
#include "discovery/types.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace plan_internal;

namespace plan_internal {

void set_problem(plan_problem_t* problem, int code, int item, const std::string& detail)
{
    problem->code = code;
    problem->item = item;
    std::snprintf(problem->detail, sizeof problem->detail, "%.511s", detail.c_str());
}

void note_doc(void* context, int kind, const bson_t* doc)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const char k = static_cast<char>(kind);
    hash.addData(&k, 1);
    hash.addData(reinterpret_cast<const char*>(bson_get_data(doc)), static_cast<int>(doc->len));
    const QByteArray sum = hash.result();
    doc_digest_t digest;
    std::memcpy(digest.data(), sum.constData(), digest.size());
    static_cast<doc_texts_t*>(context)->push_back(digest);
}

std::string fingerprint_of(doc_texts_t digests)
{
    std::sort(digests.begin(), digests.end());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const doc_digest_t& d : digests)
        hash.addData(reinterpret_cast<const char*>(d.data()), static_cast<int>(d.size()));
    return hash.result().toHex().toStdString();
}

} // namespace plan_internal

namespace {

int kept_of(const drift_t* d)
{
    if ((d->kind != DRIFT_COLUMN_TYPE && d->kind != DRIFT_COLUMN_LENGTH) || !d->in_schema || !d->in_data)
        return 0;
    const drift_column_t &s = d->schema_column, &n = d->data_column;
    int kept = 0;
    if (std::strcmp(s.sql_name ? s.sql_name : "", n.sql_name ? n.sql_name : "") != 0)
        kept |= PLAN_KEPT_SQL_NAME;
    // A type item takes the data's SQL type: that field is what it is about.
    if (d->kind == DRIFT_COLUMN_LENGTH && s.sql_type != n.sql_type)
        kept |= PLAN_KEPT_SQL_TYPE;
    if (!s.visible)
        kept |= PLAN_KEPT_HIDDEN;
    return kept;
}

void number_items(plan_t* plan)
{
    plan->items.clear();
    int id = 0;
    for (const drift_t* d = plan->changes; d; d = d->next)
        plan->items.push_back({++id, d, kept_of(d)});
}

} // namespace

bool make_plan(DBINFO* dbinfo, const char* const* tables, size_t count, plan_t** plan, drift_problem_t* problem)
{
    *plan = nullptr;
    doc_texts_t texts;
    drift_t* changes = nullptr;
    if (!diff_schema_seeing(dbinfo, tables, count, false, &changes, problem, note_doc, &texts))
        return false;
    plan_t* p = new plan_t;
    p->database = dbinfo->database;
    p->schema = dbinfo->md_database;
    p->fingerprint = fingerprint_of(std::move(texts));
    p->changes = changes;
    number_items(p);
    *plan = p;
    return true;
}

void free_plan(plan_t* plan)
{
    if (!plan)
        return;
    free_drift(plan->changes);
    delete plan;
}

std::string plan_item_text(const plan_item_t& item)
{
    drift_t one = *item.change;
    one.next = nullptr;
    std::string line = drift_text(&one);
    return line.substr(0, line.size() - 1);
}

namespace {

std::string sql_type_word(int32_t code)
{
    for (int i = 0; i < sql_type_name_count; ++i)
        if (sql_type_names[i].code == code)
            return sql_type_names[i].name;
    return std::to_string(code);
}

} // namespace

std::string plan_kept_text(const plan_item_t& item)
{
    const drift_column_t& s = item.change->schema_column;
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (item.kept & PLAN_KEPT_SQL_NAME)
        add(std::string("SQL name ") + (s.sql_name ? s.sql_name : ""));
    if (item.kept & PLAN_KEPT_SQL_TYPE)
        add("SQL type " + sql_type_word(s.sql_type));
    if (item.kept & PLAN_KEPT_HIDDEN)
        add("hidden");
    return text;
}

std::string plan_text(const plan_t* plan)
{
    std::string text;
    for (const plan_item_t& item : plan->items) {
        text += std::to_string(item.id) + " " + plan_item_text(item);
        std::string kept = plan_kept_text(item);
        if (!kept.empty())
            text += " (kept by hand: " + kept + ")";
        text += "\n";
    }
    return text;
}
