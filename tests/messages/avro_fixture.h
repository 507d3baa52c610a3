// Avro values of a test protocol's records, for feeding handlers directly.
#pragma once

#include "../service/service_fixture.h"
#include "avi/zw_avro.h"
#include "util/zwu_array.h"

#include <avro.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zws_test {

class avro_schema_file {
  public:
    // A whole protocol file, or (json = true) a schema text.
    explicit avro_schema_file(const std::string &path_or_json, bool json = false)
    {
        std::string text = path_or_json;
        if (!json) {
            std::ifstream file(path_or_json);
            std::stringstream content;
            content << file.rdbuf();
            text = content.str();
        }
        EXPECT_EQ(avro_schema_from_json_length(text.data(), text.size(), &schema_), 0) << avro_strerror();
    }
    ~avro_schema_file()
    {
        if (schema_)
            avro_schema_decref(schema_);
    }
    avro_schema_file(const avro_schema_file &) = delete;
    avro_schema_file &operator=(const avro_schema_file &) = delete;

    avro_schema_t schema() const { return schema_; }
    // The protocol's "types" union.
    avro_schema_t types() const { return avro_schema_record_field_get(schema_, "types"); }

  private:
    avro_schema_t schema_ = nullptr;
};

// A fresh generic value of one schema, released at the end.
class avro_record {
  public:
    explicit avro_record(avro_schema_t schema)
    {
        iface_ = schema ? avro_generic_class_from_schema(schema) : nullptr;
        EXPECT_NE(iface_, nullptr);
        if (iface_) {
            EXPECT_EQ(avro_generic_value_new(iface_, &value_), 0);
        }
    }
    // The branch `branch_name` of a union schema. A branch that refers to
    // named types defined elsewhere in the union has no class of its own.
    avro_record(avro_schema_t union_schema, const char *branch_name)
    {
        iface_ = union_schema ? avro_generic_class_from_schema(union_schema) : nullptr;
        EXPECT_NE(iface_, nullptr);
        if (!iface_)
            return;
        int index = -1;
        EXPECT_NE(avro_schema_union_branch_by_name(union_schema, &index, branch_name), nullptr) << branch_name;
        EXPECT_EQ(avro_generic_value_new(iface_, &union_), 0);
        EXPECT_EQ(avro_value_set_branch(&union_, index, &value_), 0);
        has_union_ = true;
    }
    ~avro_record()
    {
        if (has_union_) {
            avro_value_decref(&union_);
            avro_value_iface_decref(iface_);
        } else if (iface_) {
            avro_value_decref(&value_);
            avro_value_iface_decref(iface_);
        }
    }
    avro_record(const avro_record &) = delete;
    avro_record &operator=(const avro_record &) = delete;
    avro_value_t *get() { return &value_; }
    avro_value_t field(const char *name)
    {
        avro_value_t child{};
        EXPECT_EQ(avro_value_get_by_name(&value_, name, &child, nullptr), 0) << name;
        return child;
    }

  private:
    avro_value_iface_t *iface_ = nullptr;
    avro_value_t value_{};
    avro_value_t union_{};
    bool has_union_ = false;
};

struct text_buffer {
    zwu_string_buffer_t b = nullptr;
    text_buffer() { zwu_string_buffer_create(0, &b); }
    ~text_buffer() { zwu_string_buffer_destroy(b); }
    text_buffer(const text_buffer &) = delete;
    text_buffer &operator=(const text_buffer &) = delete;
    std::string text() const { return zwu_string_buffer_get_string(b); }
};

} // namespace zws_test
