#include "discovery/discover.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "discovery/lookup.h"
#include "discovery/profile.h"
#include "discovery/types.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mongoc/mongoc.h>
#include <string>

namespace {

bool wide_of(const db_sample_t* sample) { return sample->dbinfo && sample->dbinfo->default_wide; }

// Lengths are int32 in the records but compared unsigned, so a negative length
// stands for a very long one.
int32_t longer(int32_t current, uint32_t seen)
{
    return static_cast<uint32_t>(current) >= seen ? current : static_cast<int32_t>(seen);
}

// Length of a scalar field's value as discovery counts it.
uint32_t scalar_length(const bson_iter_t* iter, int type)
{
    if (type == BSON_TYPE_UTF8) {
        uint32_t len = 0;
        bson_iter_utf8(iter, &len);
        return len;
    }
    if (type == BSON_TYPE_BINARY) {
        bson_subtype_t subtype;
        uint32_t len = 0;
        const uint8_t* data = nullptr;
        bson_iter_binary(iter, &subtype, &len, &data);
        return len;
    }
    return type == BSON_TYPE_OID ? 24 : 255;
}

// The JSON text lengths of values, as the library's bson_as_json writes them (its
// legacy form: `{ "a" : 1, "b" : [ "x", 2.5 ] }`), counted while discovery walks the
// documents rather than by writing every sub-document's text at every level.
// A length of -1 means the library would give no text at all (bad UTF-8, a corrupt
// document): the column then gets 0, as before. Deeper than this, where the library
// shortens what it writes, the text itself is made.
const int counted_depth = 100;
const int64_t no_text = -1;
const int64_t too_deep = -2;

// The escaped text of a string or key and its two quotes.
int64_t quoted_length(const char* text, uint32_t len, bool key)
{
    bool plain = true;
    for (uint32_t i = 0; i < len && plain; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        plain = c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
    }
    if (plain)
        return int64_t(len) + 2;
    // The library writes no text at all for a value or key that is not UTF-8.
    if (!bson_utf8_validate(text, len, !key))
        return no_text;
    char* escaped = bson_utf8_escape_for_json(text, key ? -1 : static_cast<ssize_t>(len));
    if (!escaped)
        return no_text;
    int64_t n = static_cast<int64_t>(std::strlen(escaped)) + 2;
    bson_free(escaped);
    return n;
}

int64_t digits(int64_t v)
{
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    int64_t n = v < 0 ? 2 : 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}

int64_t double_length(double v)
{
    // Most values need no printing: a whole number, or one of a few binary places (as
    // many decimal ones), is written exactly by "%.20g", whose text is then known.
    double a = std::fabs(v);
    if (a < 1e15) {
        int64_t sign = std::signbit(v) ? 1 : 0;
        int64_t whole = static_cast<int64_t>(a);
        for (int places = 0; places <= 8; ++places) {
            double scaled = std::ldexp(a, places);
            if (scaled != std::floor(scaled))
                continue;
            if (places == 0)
                return sign + digits(whole) + 2; // "3.0"
            if (!whole || digits(whole) + places <= 20)
                return sign + digits(whole) + 1 + places;
            break;
        }
    }
    char text[64];
    int n = std::snprintf(text, sizeof text, "%.20g", v);
    if (n < 0)
        return no_text;
    // "3" is written "3.0".
    return std::strspn(text, "0123456789-") == static_cast<size_t>(n) ? n + 2 : n;
}

// Any other value: the library writes it inside a document of one field, `{ "" : V }`.
int64_t written_length(const bson_iter_t* iter)
{
    bson_t one = BSON_INITIALIZER;
    size_t len = 0;
    char* json = bson_append_iter(&one, "", 0, iter) ? bson_as_json(&one, &len) : nullptr;
    bson_destroy(&one);
    bson_free(json);
    return json ? static_cast<int64_t>(len) - 9 : no_text;
}

// Length of a sub-document's or array's whole text, as bson_as_json gives it for the
// bytes of the value (an array is then written as a document of keys "0", "1", ...).
int64_t whole_text_length(const bson_iter_t* iter, int type)
{
    const uint8_t* data = nullptr;
    uint32_t len = 0;
    if (type == BSON_TYPE_DOCUMENT)
        bson_iter_document(iter, &len, &data);
    else
        bson_iter_array(iter, &len, &data);
    bson_t sub;
    if (!data || !bson_init_static(&sub, data, len))
        return no_text;
    size_t json_len = 0;
    char* json = bson_as_json(&sub, &json_len);
    bson_free(json);
    return json ? static_cast<int64_t>(json_len) : no_text;
}

// One walk over a document: the SQL name of the field being walked is built in `name`
// (the parent's name, "_", the key), so that looking a column up allocates nothing.
struct walk_t {
    db_sample_t* sample;
    bool wide;
    std::string name;
    // The document being walked (NULL when fields are walked one by one), its number
    // in the sample and its _id's text, made the first time a column needs it.
    const bson_t* document;
    int32_t number;
    bool id_made;
    std::string id;
};

// The _id of the document being walked, as relaxed extended JSON; NULL when unknown.
char* document_id(walk_t* w)
{
    if (!w->document)
        return nullptr;
    if (!w->id_made) {
        w->id_made = true;
        bson_iter_t it;
        if (bson_iter_init_find(&it, w->document, "_id")) {
            bson_t one = BSON_INITIALIZER;
            size_t len = 0;
            char* json = bson_append_iter(&one, "", 0, &it) ? bson_as_relaxed_extended_json(&one, &len) : nullptr;
            // `{ "" : V }`
            if (json && len > 9)
                w->id.assign(json + 7, len - 9);
            bson_free(json);
            bson_destroy(&one);
        }
    }
    return w->id.empty() ? nullptr : copy_text(w->id.c_str());
}

// Counts one sighting of a value of the column at position in the sample's profile; the
// SQL type before it (0 for a new column) and after.
void profile_sighting(walk_t* w, int32_t position, int type, int before, int after)
{
    db_profile_t* profile = w->sample->profile;
    db_column_profile_t* p = position < profile->count ? &profile->columns[position] : profile_at(profile, position);
    if (p->last_document != w->number || !p->documents) {
        p->last_document = w->number;
        p->documents++;
    }
    int slot = profile_type_slot(type);
    if (slot >= 0)
        p->types[slot]++;
    if (before != after) {
        p->decided_before = before;
        p->decided_after = after;
        std::free(p->decided_id);
        p->decided_id = document_id(w);
    }
}

void profile_length(walk_t* w, int32_t position, uint32_t length)
{
    db_column_profile_t* p = &w->sample->profile->columns[position];
    int32_t n = static_cast<int32_t>(std::min<uint32_t>(length, INT32_MAX));
    if (p->shortest < 0 || n < p->shortest)
        p->shortest = n;
    if (n > p->longest)
        p->longest = n;
}

// True when path holds the keys of parent and then key: a column seen again under the
// same path keeps the list it has.
bool same_path(const db_name_t* path, const db_name_t* parent, const char* key)
{
    for (; parent; parent = parent->next, path = path->next)
        if (!path || std::strcmp(path->name, parent->name) != 0)
            return false;
    return path && !path->next && std::strcmp(path->name, key) == 0;
}

// The column of the field named w->name, made when new (sql_type, mongo_type and path
// set as discovery settles them); *found tells which.
db_column_t* column_of(walk_t* w, db_name_t* parent_path, const char* key, int type, bool keep_path, bool* found,
                       int32_t* position)
{
    db_column_t* column = lookup_column(w->sample, w->name.c_str(), position);
    *found = column != nullptr;
    if (!column) {
        db_name_t* path = keep_path ? append_name(copy_names(parent_path), key) : nullptr;
        column = new_column();
        column->sql_name = copy_text(w->name.c_str());
        column->mongo_name = path ? join_names(path, ".") : copy_text(key);
        column->sql_type = first_sql_type(type, w->wide);
        column->mongo_type = type;
        column->path = path;
        *position = lookup_append(w->sample, column);
        profile_sighting(w, *position, type, 0, column->sql_type);
        return column;
    }
    int before = column->sql_type;
    column->sql_type = settle_sql_type(column->sql_type, type, w->wide);
    profile_sighting(w, *position, type, before, column->sql_type);
    column->mongo_type = type;
    if (!keep_path) {
        free_names(column->path);
        column->path = nullptr;
    } else if (!same_path(column->path, parent_path, key)) {
        free_names(column->path);
        column->path = append_name(copy_names(parent_path), key);
    }
    return column;
}

int64_t walk_value(walk_t* w, bson_iter_t* iter, db_name_t* parent_path, int depth);

// Walks a sub-document or array into its columns, gives its column the length of its
// own text and returns the length of its text as a value inside its parent's.
int64_t walk_container(walk_t* w, bson_iter_t* iter, db_name_t* parent_path, int type, int depth)
{
    bool found = false;
    int32_t position = 0;
    db_column_t* column = column_of(w, parent_path, bson_iter_key(iter), type, true, &found, &position);

    // The members walk under this column's path. No member can land on this column
    // (or an ancestor's) and replace the path under our feet: a member's SQL name
    // joins more keys, so it is always longer. The text is counted on the way: as a
    // value, `{ "k" : v, ... }` or `[ v, ... ]` (`{  }` and `[  ]` when empty); whole,
    // always with the keys, and `{ }` when empty.
    int64_t keyed = 0;  // the members with their keys and separators
    int64_t values = 0; // the members alone with their separators
    int members = 0;
    bool counted = true, written = true;
    bson_iter_t member;
    if (bson_iter_recurse(iter, &member)) {
        while (bson_iter_next(&member)) {
            int64_t v = walk_value(w, &member, column->path, depth + 1);
            if (!counted || !written)
                continue;
            if (v == too_deep) {
                counted = false;
                continue;
            }
            int64_t k = quoted_length(bson_iter_key(&member), bson_iter_key_len(&member), true);
            if (v < 0 || k < 0) {
                written = false;
                continue;
            }
            int64_t separator = members++ ? 2 : 0;
            keyed += separator + k + 3 + v;
            values += separator + v;
        }
        written = written && !member.err_off;
    } else {
        written = false;
    }

    int64_t whole = !written ? no_text : members ? keyed + 4 : 3;
    int64_t as_value = !written ? no_text : (type == BSON_TYPE_ARRAY ? values : keyed) + 4;
    if (!counted) {
        whole = whole_text_length(iter, type);
        as_value = too_deep;
    }
    uint32_t len = whole < 0 ? 0 : static_cast<uint32_t>(whole);
    column->length = found ? longer(column->length, len) : static_cast<int32_t>(len);
    profile_length(w, position, len);
    return depth >= counted_depth ? too_deep : as_value;
}

// The length of a scalar's text inside a sub-document's or array's.
int64_t scalar_text_length(const bson_iter_t* iter, int type)
{
    switch (type) {
    case BSON_TYPE_INT32: return digits(bson_iter_int32(iter));
    case BSON_TYPE_INT64: return digits(bson_iter_int64(iter));
    case BSON_TYPE_BOOL: return bson_iter_bool(iter) ? 4 : 5;
    case BSON_TYPE_NULL: return 4;
    case BSON_TYPE_DOUBLE: return double_length(bson_iter_double(iter));
    case BSON_TYPE_OID: return 39; // { "$oid" : "<24 digits>" }
    case BSON_TYPE_UTF8: {
        uint32_t n = 0;
        const char* text = bson_iter_utf8(iter, &n);
        return quoted_length(text, n, false);
    }
    default: return written_length(iter);
    }
}

// Walks one field into its column (or columns) and returns the length of the value's
// text inside its parent's (no_text, or too_deep to have the parent write its own).
int64_t walk_value(walk_t* w, bson_iter_t* iter, db_name_t* parent_path, int depth)
{
    const int type = static_cast<int>(bson_iter_type(iter));
    const char* key = bson_iter_key(iter);
    // At the top level the key is the name; below, the parent's name, "_" and the key.
    size_t parent_len = w->name.size();
    if (parent_path) {
        w->name += '_';
        w->name += key;
    } else {
        w->name.assign(key);
    }

    int64_t result = 0;
    if (type == BSON_TYPE_DOCUMENT || type == BSON_TYPE_ARRAY) {
        result = walk_container(w, iter, parent_path, type, depth);
    } else {
        // A field of the top level keeps no path.
        bool found = false;
        int32_t position = 0;
        uint32_t len = scalar_length(iter, type);
        db_column_t* column = column_of(w, parent_path, key, type, parent_path != nullptr, &found, &position);
        if (type == BSON_TYPE_UTF8 || type == BSON_TYPE_BINARY)
            profile_length(w, position, len);
        if (!found) {
            column->length = static_cast<int32_t>(len);
        } else if (type == BSON_TYPE_UTF8 || type == BSON_TYPE_BINARY) {
            column->length = longer(column->length, len);
        } else {
            column->length = longer(column->length, 255);
            if (type == BSON_TYPE_OID)
                column->length = 24;
        }
        // Only a value inside a sub-document or array is written into a text.
        result = parent_path ? scalar_text_length(iter, type) : 0;
    }
    w->name.resize(parent_path ? parent_len : 0);
    return result;
}

} // namespace

db_profile_t* profile_of(db_sample_t* sample)
{
    if (!sample->profile)
        sample->profile = static_cast<db_profile_t*>(record_alloc(sizeof(db_profile_t)));
    return sample->profile;
}

void walk_field(db_sample_t* sample, bson_iter_t* iter, db_name_t* parent_path)
{
    walk_t w{sample, wide_of(sample), std::string(), nullptr, profile_of(sample)->documents, false, std::string()};
    int depth = 1;
    if (parent_path) {
        char* joined = join_names(parent_path, "_");
        w.name = joined;
        std::free(joined);
        for (const db_name_t* p = parent_path; p; p = p->next)
            ++depth;
    }
    walk_value(&w, iter, parent_path, depth);
}

void walk_document(db_sample_t* sample, const bson_t* document)
{
    bson_iter_t it;
    if (!bson_iter_init(&it, document))
        return;
    walk_t w{sample, wide_of(sample), std::string(), document, ++profile_of(sample)->documents, false, std::string()};
    while (bson_iter_next(&it))
        walk_value(&w, &it, nullptr, 1);
}

