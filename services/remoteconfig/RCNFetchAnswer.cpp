#include "services/remoteconfig/RCNFetchAnswer.h"

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/JSON.h"

namespace {

using json = nlohmann::json;

// Deeper fields are refused by the JSON reader they pass through; they are
// not built at all.
constexpr std::size_t kMaxFieldDepth = 512;

std::shared_ptr<DIROdadevOveredValue> remoteValue(const std::string& text) {
    return DIROdadevOveredValue::initWithData(Data(text.begin(), text.end()),
                                              DIROdadevOveredSource::Remote);
}

// Reads the body event by event: each text of "entries" becomes its value
// as it is read, and every other top-level field is built as a small tree
// of its own. Nothing holds the whole body as a tree.
class AnswerReader final : public nlohmann::json_sax<json> {
  public:
    explicit AnswerReader(RCNFetchAnswer& answer) : answer_(answer) {}
    bool isObject() const { return isObject_; }

    bool null() override { return scalar(json()); }
    bool boolean(bool value) override { return scalar(json(value)); }
    bool number_integer(number_integer_t value) override { return scalar(json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar(json(value)); }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(json(value));
    }
    bool string(string_t& value) override {
        if (inEntry()) {
            answer_.entries.emplace_back(std::move(entryKey_), remoteValue(value));
            return true;
        }
        return scalar(json(value));
    }
    bool binary(binary_t&) override { return scalar(json()); }
    bool start_object(std::size_t) override { return open(json::value_t::object); }
    bool start_array(std::size_t) override { return open(json::value_t::array); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (isObject_ && depth_ == 1) {
            startField(name);
        } else if (field_ == Field::Entries && depth_ == 2) {
            entryKey_ = name;
        } else if (field_ == Field::Other) {
            pendingKey_ = name;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    enum class Field { None, Entries, Other };

    bool inEntry() const {
        return field_ == Field::Entries && depth_ == 2 && entriesOpen_ && !answer_.invalidEntries;
    }

    void startField(const std::string& name) {
        name_ = name;
        if (name == "entries") {
            // Of a field given twice, the last counts.
            field_ = Field::Entries;
            entriesOpen_ = false;
            answer_.entries.clear();
            answer_.invalidEntries.reset();
            answer_.fields.set(name, true);
        } else {
            field_ = Field::Other;
            tree_ = json();
            stack_.clear();
            tooDeep_ = false;
        }
    }

    void refuseEntries(std::string reason) {
        if (answer_.invalidEntries) return;
        answer_.invalidEntries = std::move(reason);
        answer_.entries.clear();
    }

    // Whatever is not a text where an entry's text belongs.
    void wrongEntry() {
        if (depth_ == 1)
            refuseEntries("the entries are not an object");
        else if (depth_ == 2 && entriesOpen_)
            refuseEntries("the value of " + entryKey_ + " is not a text");
    }

    // Adds a value to the field's tree; the place it took.
    json* place(json value) {
        if (stack_.empty()) {
            tree_ = std::move(value);
            return &tree_;
        }
        json& parent = *stack_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        json& slot = parent[pendingKey_];
        slot = std::move(value);
        return &slot;
    }

    void finishField() {
        Value value;
        if (!tooDeep_) {
            // Through the platform's reader, so a field reads as it always
            // has (numbers, and non-finite ones as null).
            const std::string text = tree_.dump();
            value = NSJSONSerialization::JSONObjectWithData(Data(text.begin(), text.end()), nullptr,
                                                            true)
                        .value_or(Value());
        }
        answer_.fields.set(name_, std::move(value));
        field_ = Field::None;
        tree_ = json();
        stack_.clear();
    }

    bool scalar(json value) {
        if (!isObject_ || depth_ == 0) return true;
        if (field_ == Field::Entries) {
            wrongEntry();
        } else if (field_ == Field::Other) {
            if (!tooDeep_) place(std::move(value));
            if (depth_ == 1) finishField();
        }
        return true;
    }

    bool open(json::value_t kind) {
        if (depth_ == 0) {
            isObject_ = kind == json::value_t::object;
        } else if (isObject_ && field_ == Field::Entries) {
            if (depth_ == 1 && kind == json::value_t::object)
                entriesOpen_ = true;
            else
                wrongEntry();
        } else if (isObject_ && field_ == Field::Other) {
            if (stack_.size() >= kMaxFieldDepth) tooDeep_ = true;
            if (!tooDeep_) stack_.push_back(place(json(kind)));
        }
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        if (!isObject_ || depth_ == 0) return true;
        if (field_ == Field::Other) {
            if (!tooDeep_) stack_.pop_back();
            if (depth_ == 1) finishField();
        } else if (field_ == Field::Entries && depth_ == 1) {
            field_ = Field::None;
        }
        return true;
    }

    RCNFetchAnswer& answer_;
    bool isObject_ = false;
    std::size_t depth_ = 0;  // open objects and arrays
    Field field_ = Field::None;
    std::string name_;  // of the top-level field being read
    // "entries"
    bool entriesOpen_ = false;
    std::string entryKey_;
    // Any other field
    json tree_;
    std::vector<json*> stack_;  // its open objects and arrays
    std::string pendingKey_;
    bool tooDeep_ = false;
};

}  // namespace

std::optional<RCNFetchAnswer> RCNFetchAnswer::parse(const Data& body, std::string* error) {
    RCNFetchAnswer answer;
    AnswerReader reader(answer);
    const bool read = json::sax_parse(body.begin(), body.end(), &reader);
    if (!read || !reader.isObject()) {
        if (error)
            *error = !read ? "The data couldn't be read because it isn't in the correct format."
                           : "The answer is not a JSON object.";
        return std::nullopt;
    }
    return answer;
}

RCNFetchAnswer RCNFetchAnswer::fromDictionary(const Dictionary& response) {
    RCNFetchAnswer answer;
    for (const auto& [name, field] : response) {
        if (name != "entries") {
            answer.fields.set(name, field);
            continue;
        }
        answer.fields.set(name, true);
        const Dictionary* entries = field.asDictionary();
        if (!entries) {
            answer.invalidEntries = "the entries are not an object";
            continue;
        }
        for (const auto& [key, value] : *entries) {
            auto text = value.asString();
            if (!text) {
                answer.invalidEntries = "the value of " + key + " is not a text";
                answer.entries.clear();
                break;
            }
            answer.entries.emplace_back(key, remoteValue(*text));
        }
    }
    return answer;
}

std::optional<std::string> RCNFetchAnswer::invalidUpdate() const {
    if (fields["state"].asString().value_or("") != "UPDATE") return std::nullopt;
    return invalidEntries;
}
