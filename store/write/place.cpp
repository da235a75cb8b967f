#include "store/write/place.h"

#include "core/connect.h"
#include "core/dbinfo.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct journal_place_t {
    int kind = PLACE_SERVER;
    std::string server, database; // the schema's: the place is decided per schema
    std::string directory;
};

namespace {

std::map<std::string, std::unique_ptr<journal_place_t>> places;

std::string safe_name(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ? c : '_';
    return out;
}

std::string state_directory()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return state;
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] ? home : "/tmp") + "/.local/state";
}

bool make_directories(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at)
        if (at == path.size() || path[at] == '/')
            if (mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST)
                return false;
    return true;
}

bool local_error(bson_error_t* error, const std::string& what)
{
    if (error)
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_SOCKET, "%s: %s", what.c_str(),
                       std::strerror(errno));
    return false;
}

std::string file_of(const journal_place_t* place, const char* collection)
{
    return place->directory + "/" + collection + ".bson";
}

// The whole documents of a collection's file, in the order written; a document cut short
// at the end (a write that did not finish) is left out.
bool read_file(const std::string& path, std::string* bytes, bson_error_t* error)
{
    bytes->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || local_error(error, "cannot read " + path);
    char buffer[1 << 16];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes->append(buffer, static_cast<size_t>(n));
    close(fd);
    return n == 0 || local_error(error, "cannot read " + path);
}

template <typename Fn> void each_document(const std::string& bytes, Fn fn)
{
    size_t at = 0;
    while (at + 5 <= bytes.size()) {
        uint32_t length;
        std::memcpy(&length, bytes.data() + at, 4);
        length = BSON_UINT32_FROM_LE(length);
        bson_t doc;
        if (length < 5 || at + length > bytes.size() ||
            !bson_init_static(&doc, reinterpret_cast<const uint8_t*>(bytes.data() + at), length))
            return;
        if (!fn(&doc))
            return;
        at += length;
    }
}

bool write_all(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return fsync(fd) == 0;
}

// The collection's file replaced whole: a kill leaves the old file or the new one.
bool rewrite_file(const journal_place_t* place, const char* collection, const std::string& bytes,
                  bson_error_t* error)
{
    std::string path = file_of(place, collection), temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return local_error(error, "cannot write " + temporary);
    bool ok = write_all(fd, bytes);
    close(fd);
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0)
        return local_error(error, "cannot write " + path);
    int dir = open(place->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0)
        fsync(dir), close(dir);
    return true;
}

bool same_value(const bson_iter_t* a, const bson_iter_t* b)
{
    const bson_value_t* x = bson_iter_value(const_cast<bson_iter_t*>(a));
    const bson_value_t* y = bson_iter_value(const_cast<bson_iter_t*>(b));
    if (x->value_type != y->value_type) {
        bool numbers = BSON_ITER_HOLDS_NUMBER(a) && BSON_ITER_HOLDS_NUMBER(b);
        return numbers && bson_iter_as_int64(a) == bson_iter_as_int64(b);
    }
    switch (x->value_type) {
    case BSON_TYPE_UTF8:
        return x->value.v_utf8.len == y->value.v_utf8.len &&
               !std::memcmp(x->value.v_utf8.str, y->value.v_utf8.str, x->value.v_utf8.len);
    case BSON_TYPE_INT32: return x->value.v_int32 == y->value.v_int32;
    case BSON_TYPE_INT64: return x->value.v_int64 == y->value.v_int64;
    case BSON_TYPE_BOOL: return x->value.v_bool == y->value.v_bool;
    case BSON_TYPE_OID: return bson_oid_equal(&x->value.v_oid, &y->value.v_oid);
    case BSON_TYPE_DATE_TIME: return x->value.v_datetime == y->value.v_datetime;
    case BSON_TYPE_NULL: return true;
    case BSON_TYPE_DOCUMENT:
    case BSON_TYPE_ARRAY:
        return x->value.v_doc.data_len == y->value.v_doc.data_len &&
               !std::memcmp(x->value.v_doc.data, y->value.v_doc.data, x->value.v_doc.data_len);
    default: return false;
    }
}

// The number a document sorts by, for the local place.
int64_t sort_value(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    if (!bson_iter_init_find(&it, doc, field))
        return INT64_MIN;
    if (BSON_ITER_HOLDS_DATE_TIME(&it))
        return bson_iter_date_time(&it);
    return BSON_ITER_HOLDS_NUMBER(&it) ? bson_iter_as_int64(&it) : INT64_MIN;
}

mongoc_collection_t* server_collection(DBINFO* dbinfo, const char* collection)
{
    return mongoc_client_get_collection(dbinfo->md_client, place_database(dbinfo->md_database).c_str(), collection);
}

} // namespace

std::string place_database(const char* md_database)
{
    return std::string(md_database ? md_database : "") + "_journal";
}

journal_place_t* journal_place(DBINFO* dbinfo)
{
    std::string key = std::string(dbinfo->md_server) + '\n' + dbinfo->md_database;
    std::unique_ptr<journal_place_t>& place = places[key];
    if (!place) {
        place.reset(new journal_place_t);
        place->server = dbinfo->md_server;
        place->database = dbinfo->md_database;
    }
    return place.get();
}

int place_kind(const journal_place_t* place) { return place->kind; }

const std::string& place_directory(const journal_place_t* place) { return place->directory; }

bool refused_privilege(const bson_error_t* error)
{
    return error && server_refused(error) && error->code == 13;
}

bool place_move_local(DBINFO* dbinfo, journal_place_t* place)
{
    if (place->kind == PLACE_LOCAL)
        return false;
    char hosts[DBINFO_TEXT];
    server_hosts(dbinfo->md_server, hosts);
    place->kind = PLACE_LOCAL;
    place->directory = state_directory() + "/brolix/journal/" + safe_name(hosts) + "/" + safe_name(place->database);
    return true;
}

std::string place_notice(DBINFO* dbinfo, const journal_place_t* place)
{
    std::string user = side_user(dbinfo, SIDE_SCHEMA);
    std::string database = place_database(place->database.c_str());
    return "The journal, lock and history of the schema '" + place->database + "' are kept on this machine (" +
           place->directory + "): " + (user.empty() ? std::string("this user") : "the user '" + user + "'") +
           " may not use the database '" + database +
           "' of the schema server, so writers on other machines do not see them. Grant readWrite on '" +
           database + "' to keep them on the server for every machine.";
}

bool place_matches(const bson_t* doc, const bson_t* filter)
{
    bson_iter_t want;
    if (!bson_iter_init(&want, filter))
        return false;
    while (bson_iter_next(&want)) {
        bson_iter_t have;
        bool present = bson_iter_init_find(&have, doc, bson_iter_key(&want));
        bson_iter_t in;
        if (BSON_ITER_HOLDS_DOCUMENT(&want) && bson_iter_recurse(&want, &in) && bson_iter_find(&in, "$in") &&
            BSON_ITER_HOLDS_ARRAY(&in)) {
            bson_iter_t element, held;
            bool any = false;
            if (present && bson_iter_recurse(&in, &element))
                while (!any && bson_iter_next(&element)) {
                    any = same_value(&have, &element);
                    // An array holds one of the values when one of its elements is one.
                    if (BSON_ITER_HOLDS_ARRAY(&have) && bson_iter_recurse(&have, &held))
                        while (!any && bson_iter_next(&held))
                            any = same_value(&held, &element);
                }
            if (!any)
                return false;
        } else if (present && BSON_ITER_HOLDS_ARRAY(&have) && !BSON_ITER_HOLDS_ARRAY(&want)) {
            // An array holds a value when one of its elements is it, as on the server.
            bson_iter_t element;
            bool any = false;
            if (bson_iter_recurse(&have, &element))
                while (!any && bson_iter_next(&element))
                    any = same_value(&element, &want);
            if (!any)
                return false;
        } else if (!present ? !BSON_ITER_HOLDS_NULL(&want) : !same_value(&have, &want)) {
            return false;
        }
    }
    return true;
}

bool place_insert(DBINFO* dbinfo, journal_place_t* place, const char* collection, const doc_refs_t& docs,
                  bson_error_t* error)
{
    if (docs.empty())
        return true;
    if (place->kind == PLACE_SERVER) {
        mongoc_collection_t* coll = server_collection(dbinfo, collection);
        write_result_t result = insert_in_order(coll, docs, nullptr, nullptr);
        mongoc_collection_destroy(coll);
        if (result.failed && error)
            *error = result.error;
        else if (result.written != docs.size() && error)
            bson_set_error(error, MONGOC_ERROR_SERVER, 11000, "a document of the journal was refused");
        return !result.failed && result.written == docs.size();
    }
    if (!make_directories(place->directory))
        return local_error(error, "cannot make " + place->directory);
    std::string bytes;
    for (const doc_ref_t& d : docs)
        bytes.append(reinterpret_cast<const char*>(bson_get_data(d.doc)), d.doc->len);
    std::string path = file_of(place, collection);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return local_error(error, "cannot write " + path);
    bool ok = write_all(fd, bytes);
    close(fd);
    return ok || local_error(error, "cannot write " + path);
}

bool place_find(DBINFO* dbinfo, journal_place_t* place, const char* collection, const bson_t* filter,
                const bson_t* opts, const std::function<bool(const doc_ref_t&)>& each, bson_error_t* error)
{
    if (place->kind == PLACE_SERVER) {
        mongoc_collection_t* coll = server_collection(dbinfo, collection);
        mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
        const bson_t* doc;
        bool go_on = true;
        while (go_on && mongoc_cursor_next(cursor, &doc))
            go_on = each({doc});
        bson_error_t failed;
        bool ok = !mongoc_cursor_error(cursor, &failed);
        if (!ok && error)
            *error = failed;
        mongoc_cursor_destroy(cursor);
        mongoc_collection_destroy(coll);
        return ok;
    }
    std::string bytes;
    if (!read_file(file_of(place, collection), &bytes, error))
        return false;
    // Where each document selected starts in the file, and its length.
    std::vector<std::pair<size_t, uint32_t>> found;
    each_document(bytes, [&](const bson_t* doc) {
        if (place_matches(doc, filter))
            found.emplace_back(reinterpret_cast<const char*>(bson_get_data(doc)) - bytes.data(), doc->len);
        return true;
    });
    auto view = [&](const std::pair<size_t, uint32_t>& at, bson_t* doc) {
        return bson_init_static(doc, reinterpret_cast<const uint8_t*>(bytes.data() + at.first), at.second);
    };
    bson_iter_t it, field;
    if (opts && bson_iter_init_find(&it, opts, "sort") && BSON_ITER_HOLDS_DOCUMENT(&it) &&
        bson_iter_recurse(&it, &field) && bson_iter_next(&field)) {
        std::string key = bson_iter_key(&field);
        bool down = bson_iter_as_int64(&field) < 0;
        std::stable_sort(found.begin(), found.end(), [&](const std::pair<size_t, uint32_t>& a,
                                                         const std::pair<size_t, uint32_t>& b) {
            bson_t x, y;
            view(a, &x), view(b, &y);
            int64_t first = sort_value(&x, key.c_str()), second = sort_value(&y, key.c_str());
            return down ? first > second : first < second;
        });
    }
    int64_t limit = opts && bson_iter_init_find(&it, opts, "limit") ? bson_iter_as_int64(&it) : 0;
    for (size_t i = 0; i < found.size() && (limit <= 0 || static_cast<int64_t>(i) < limit); ++i) {
        bson_t doc;
        if (view(found[i], &doc) && !each({&doc}))
            break;
    }
    return true;
}

bool place_delete(DBINFO* dbinfo, journal_place_t* place, const char* collection, const bson_t* filter,
                  bson_error_t* error)
{
    if (place->kind == PLACE_SERVER) {
        mongoc_collection_t* coll = server_collection(dbinfo, collection);
        bool ok = mongoc_collection_delete_many(coll, filter, nullptr, nullptr, error);
        mongoc_collection_destroy(coll);
        return ok;
    }
    std::string bytes, kept;
    if (!read_file(file_of(place, collection), &bytes, error))
        return false;
    bool removed = false;
    each_document(bytes, [&](const bson_t* doc) {
        if (place_matches(doc, filter))
            removed = true;
        else
            kept.append(reinterpret_cast<const char*>(bson_get_data(doc)), doc->len);
        return true;
    });
    return !removed || rewrite_file(place, collection, kept, error);
}

bool place_update_one(DBINFO* dbinfo, journal_place_t* place, const char* collection, const bson_t* filter,
                      const bson_t* update, int64_t* matched, bson_error_t* error)
{
    *matched = 0;
    if (place->kind == PLACE_SERVER) {
        mongoc_collection_t* coll = server_collection(dbinfo, collection);
        bson_t reply;
        bool ok = mongoc_collection_update_one(coll, filter, update, nullptr, &reply, error);
        bson_iter_t it;
        if (ok && bson_iter_init_find(&it, &reply, "matchedCount") && BSON_ITER_HOLDS_NUMBER(&it))
            *matched = bson_iter_as_int64(&it);
        bson_destroy(&reply);
        mongoc_collection_destroy(coll);
        return ok;
    }
    bson_iter_t it;
    bson_t set;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (!bson_iter_init_find(&it, update, "$set") || !BSON_ITER_HOLDS_DOCUMENT(&it))
        return local_error(error, "an update without $set");
    bson_iter_document(&it, &length, &data);
    if (!bson_init_static(&set, data, length))
        return local_error(error, "a damaged update");
    std::string bytes, out;
    if (!read_file(file_of(place, collection), &bytes, error))
        return false;
    each_document(bytes, [&](const bson_t* doc) {
        if (*matched || !place_matches(doc, filter)) {
            out.append(reinterpret_cast<const char*>(bson_get_data(doc)), doc->len);
            return true;
        }
        *matched = 1;
        bson_t changed = BSON_INITIALIZER;
        bson_iter_t field;
        bson_iter_init(&field, doc);
        while (bson_iter_next(&field))
            if (!bson_has_field(&set, bson_iter_key(&field)))
                bson_append_iter(&changed, bson_iter_key(&field), -1, &field);
        bson_concat(&changed, &set);
        out.append(reinterpret_cast<const char*>(bson_get_data(&changed)), changed.len);
        bson_destroy(&changed);
        return true;
    });
    return !*matched || rewrite_file(place, collection, out, error);
}
