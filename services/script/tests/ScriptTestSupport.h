#pragma once
// Builds programs for tests as real RuntimeEntity bytes from a compact
// notation: (cmd arg ...) is a statement, "text" a string literal, 12.5 a
// number literal, true and false booleans, nan a number literal NaN;
// {...} a raw entity with explicit fields: {type=N name="x" str="s"} for
// malformed entities.

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "services/measurement/APMPBMessage.h"
#include "services/script/APMPRuntime.h"

namespace script_test {

class Reader {
  public:
    explicit Reader(std::string text) : text_(std::move(text)) {}

    // Every top-level expression, each encoded and decoded through bytes.
    std::vector<std::shared_ptr<APMPBRuntimeEntity>> program() {
        std::vector<std::shared_ptr<APMPBRuntimeEntity>> out;
        skip();
        while (pos_ < text_.size()) {
            out.push_back(roundTrip(expression()));
            skip();
        }
        return out;
    }

    std::shared_ptr<APMPBRuntimeEntity> expression() {
        skip();
        auto entity = APMPBRuntimeEntity::make();
        char c = text_.at(pos_);
        if (c == '(') {
            ++pos_;
            skip();
            std::string name = token();
            APMPBSetInt32(entity.get(), 0, 4);
            APMPBSetString(entity.get(), 2, Value(name));
            std::vector<APMPBObject> arguments;
            skip();
            while (text_.at(pos_) != ')') {
                arguments.emplace_back(expression());
                skip();
            }
            ++pos_;
            if (!arguments.empty()) APMPBSetArray(entity.get(), 1, arguments);
        } else if (c == '{') {
            ++pos_;
            std::vector<APMPBObject> arguments;
            while (true) {
                skip();
                if (text_.at(pos_) == '}') break;
                if (text_.at(pos_) == '(') {
                    arguments.emplace_back(expression());
                    continue;
                }
                std::string key = token('=');
                ++pos_;
                if (key == "type") APMPBSetInt32(entity.get(), 0, std::stoi(token()));
                if (key == "name") APMPBSetString(entity.get(), 2, Value(quoted()));
                if (key == "str") APMPBSetString(entity.get(), 3, Value(quoted()));
                if (key == "bool") APMPBSetBool(entity.get(), 4, token() == "true");
                if (key == "num") APMPBSetDouble(entity.get(), 5, std::stod(token()));
            }
            ++pos_;
            if (!arguments.empty()) APMPBSetArray(entity.get(), 1, arguments);
        } else if (c == '"') {
            APMPBSetInt32(entity.get(), 0, 1);
            APMPBSetString(entity.get(), 3, Value(quoted()));
        } else {
            std::string word = token();
            if (word == "true" || word == "false") {
                APMPBSetInt32(entity.get(), 0, 3);
                APMPBSetBool(entity.get(), 4, word == "true");
            } else {
                APMPBSetInt32(entity.get(), 0, 2);
                APMPBSetDouble(entity.get(), 5, word == "nan" ? std::nan("") : std::stod(word));
            }
        }
        return entity;
    }

  private:
    static std::shared_ptr<APMPBRuntimeEntity> roundTrip(
        const std::shared_ptr<APMPBRuntimeEntity>& e) {
        std::optional<Data> bytes = e->protoBuffer();
        EXPECT_TRUE(bytes.has_value());
        return APMPBRuntimeEntity::initWithBuffer(*bytes);
    }
    void skip() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    std::string token(char stop = ' ') {
        std::size_t start = pos_;
        while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])) &&
               text_[pos_] != ')' && text_[pos_] != '(' && text_[pos_] != '}' &&
               text_[pos_] != stop)
            ++pos_;
        return text_.substr(start, pos_ - start);
    }
    std::string quoted() {
        std::string out;
        ++pos_;  // opening quote
        while (text_.at(pos_) != '"') {
            if (text_[pos_] == '\\') {
                ++pos_;
                char e = text_.at(pos_);
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                out += text_[pos_];
            }
            ++pos_;
        }
        ++pos_;
        return out;
    }

    std::string text_;
    std::size_t pos_ = 0;
};

inline std::vector<std::shared_ptr<APMPBRuntimeEntity>> program(const std::string& text) {
    return Reader(text).program();
}

// A readable, typed rendering of a result: n:1, s:abc, b:true, null,
// undefined, [n:1,hole,s:x], {a=n:1} (names sorted), f:name, control:return(n:1).
inline std::string show(const APMPValueRef& value, int depth = 0) {
    if (depth > 8) return "...";
    APMPErrorSlot ignored;
    switch (value->kind()) {
        case APMPKind::Number:
            return "n:" + APMPUTF8(value->stringValueOrError(ignored));
        case APMPKind::String:
            return "s:" + APMPUTF8(value->stringValueOrError(ignored));
        case APMPKind::Boolean:
            return std::string("b:") + (value->booleanValueOrError(ignored) ? "true" : "false");
        case APMPKind::Null:
            return "null";
        case APMPKind::Undefined:
            return "undefined";
        case APMPKind::Array: {
            std::string out = "[";
            const auto& array = static_cast<const APMPArrayValue&>(*value);
            for (std::size_t i = 0; i < array.count(); ++i) {
                if (i) out += ",";
                APMPValueRef element = array.elementAt(i);
                out += element == APMPArrayValue::emptyValue() ? "hole" : show(element, depth + 1);
            }
            return out + "]";
        }
        case APMPKind::Map: {
            const auto& map = static_cast<const APMPMapValue&>(*value);
            std::vector<APMPString> names = map.allPropertyNames();
            std::sort(names.begin(), names.end());
            std::string out = "{";
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (i) out += ",";
                out += APMPUTF8(names[i]) + "=" + show(map.valueForProperty(names[i]), depth + 1);
            }
            return out + "}";
        }
        case APMPKind::Function:
            return "f:" + APMPUTF8(static_cast<const APMPFunctionValue&>(*value).functionName);
        case APMPKind::Control: {
            const auto& control = static_cast<const APMPControlValue&>(*value);
            const char* type = control.type == APMPControlType::Break      ? "break"
                               : control.type == APMPControlType::Continue ? "continue"
                                                                           : "return";
            return std::string("control:") + type + "(" + show(control.data, depth + 1) + ")";
        }
        default:
            return "other";
    }
}

// Runs a program on a fresh runtime: the typed result, or "error N" with the
// code of the error.
inline std::string run(APMPRuntime& runtime, const std::string& text) {
    APMPErrorSlot error;
    APMPValueRef result = runtime.executeStatements(program(text), error);
    if (error) {
        std::string domain = error->domain == kAPMPScriptErrorDomain ? "" : error->domain + " ";
        return "error " + domain + std::to_string(error->code);
    }
    return show(result);
}

inline std::string run(const std::string& text) {
    APMPRuntime runtime;
    return run(runtime, text);
}

struct Case {
    const char* program;
    const char* expected;
};

}  // namespace script_test
