#include "startup/start.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/secrets.h"
#include "startup/datasource.h"
#include "store/write/journal.h"
#include "store/read/validate.h"

bool may_write_schema(DBINFO* dbinfo)
{
    check_index_access(dbinfo);
    return dbinfo->mode == MODE_EDIT;
}

bool start_program(DBINFO* d, const start_steps_t& steps, start_t* out)
{
    *out = start_t();
    auto stop = [&](int where, const std::string& text) {
        out->stop = where;
        out->text = text;
        return false;
    };
    if (!steps.parse(d))
        return stop(START_ARGUMENTS, "");
    int code = 0;
    if (!take_passwords(d, steps.passwords, &code))
        return stop(START_PASSWORDS, password_error_text(code));
    if (!d->dsn.isEmpty() && !lookup_data_source(d, &code))
        return stop(START_DATA_SOURCE, data_source_error_text(code));
    dbinfo_before_connect(d);
    if (steps.before_connect && !steps.before_connect(d))
        return stop(START_STOPPED, "");
    if (!connect_databases(d))
        return stop(START_CONNECTION, "");
    // A write that did not finish is settled before anything reads the schema, by a start
    // that may write it; View Only has no schema.
    char settled[DBINFO_TEXT] = "";
    if (steps.settle && d->mode != MODE_VIEW_ONLY &&
        !settle_schema_journal(d, settled, sizeof settled, may_write_schema, &out->lasting))
        return stop(START_JOURNAL, settled);
    out->text = settled;
    return true;
}
