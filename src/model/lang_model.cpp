#include "model/lang_model.hpp"

#include <algorithm>

namespace mirvon {

ModelError event_error(const TimeTable& tt, std::size_t event, std::string cause) {
    return ModelError::Event{tt.event_desc(event), std::move(cause)};
}

ModelError event_in_past(const TimeTable& tt, std::size_t event, std::int64_t current_time) {
    return event_error(tt, event,
                       "event time is earlier than the current time " + std::to_string(current_time));
}

namespace {

// Deep enough for any real contract, shallow enough for the thread's stack.
constexpr std::size_t MAX_PHRASE_NESTING = 500;

// Keeps a phrase's name on the evaluation chain while its value is formed.
class PhraseOnChain {
public:
    PhraseOnChain(std::vector<std::string>& chain, const std::string& name) : chain_(chain) {
        chain_.push_back(name);
    }
    ~PhraseOnChain() { chain_.pop_back(); }
    PhraseOnChain(const PhraseOnChain&) = delete;
    PhraseOnChain& operator=(const PhraseOnChain&) = delete;

private:
    std::vector<std::string>& chain_;
};

std::expected<void, ModelError> check_can_enter(const std::vector<std::string>& chain, const std::string& name) {
    if (std::find(chain.begin(), chain.end(), name) != chain.end()) {
        std::string path;
        for (const auto& link : chain) path += link + " -> ";
        return std::unexpected(ModelError::message("Phrase '" + name + "' depends on itself through its inputs: " +
                                                   path + name));
    }
    if (chain.size() >= MAX_PHRASE_NESTING)
        return std::unexpected(ModelError::message("Phrases nest deeper than " +
                                                   std::to_string(MAX_PHRASE_NESTING) + " levels at '" + name + "'"));
    return {};
}

}  // namespace

std::expected<Vec, ModelError> name_value(const FwdModel& model, const FwdModelStateGeneric& state,
                                          const TimeTable& tt, const std::string& name,
                                          std::int64_t time) {
    if (const EvalPhrase* phrase = tt.get_phrase(name)) {
        if (auto ok = check_can_enter(state.phrases_in_evaluation, name); !ok)
            return std::unexpected(std::move(ok.error()));
        PhraseOnChain on_chain(state.phrases_in_evaluation, name);
        return phrase_value_1(model, state, tt, *phrase, time);
    }
    if (auto it = state.snaps.find(name); it != state.snaps.end()) return it->second;
    return model.asset_value(state, Vec{1.0}, name, time);
}

namespace {

std::expected<std::vector<Vec>, ModelError> evaluate(const FwdModel& model,
                                                     const FwdModelStateGeneric& state,
                                                     const TimeTable& tt, const EvalPhrase& phrase,
                                                     std::int64_t time) {
    std::vector<Vec> inputs;
    inputs.reserve(phrase.iter_inp().size());
    for (const auto& name : phrase.iter_inp()) {
        auto v = name_value(model, state, tt, name, time);
        if (!v) return std::unexpected(std::move(v.error()));
        inputs.push_back(std::move(*v));
    }
    auto outputs = phrase.eval(std::move(inputs));
    if (!outputs) return std::unexpected(ModelError(std::move(outputs.error())));
    return std::move(*outputs);
}

std::expected<void, ModelError> value_unit(const FwdModel& model, FwdModelStateGeneric& state,
                                           const TimeTable& tt, std::size_t event, std::int64_t time,
                                           const Vec& q) {
    auto key = tt.unit_key_at(event);
    if (!key) return std::unexpected(ModelError(ModelError::EventSpecs{"Missing Unit Name"}));
    const Unit& unit = tt.unit_by_key(*key);
    const Op& op = tt.op_at(event);
    switch (unit.kind) {
        case Unit::Kind::Track:
            state.graph.save_t(event, unit.track);
            return {};
        case Unit::Kind::Asset: {
            auto value = model.asset_value(state, q, unit.name, time);
            if (!value) return std::unexpected(std::move(value.error()));
            return gr_save(model, state, tt, event, std::move(*value), op, time);
        }
        case Unit::Kind::Null:
            return std::unexpected(ModelError::message("Unknown Unit"));
        case Unit::Kind::Snapper: {
            const Snapper* snapper = tt.snapper_by_name(unit.name);
            if (snapper == nullptr)
                return std::unexpected(ModelError(TimeTableError::message("Snapper not found#" + unit.name)));
            auto outputs = evaluate(model, state, tt, *snapper->phrase, time);
            if (!outputs) return std::unexpected(std::move(outputs.error()));
            const std::size_t n = std::min(outputs->size(), snapper->out.size());
            for (std::size_t k = 0; k < n; ++k) state.snaps[snapper->out[k]] = std::move((*outputs)[k]);
            return {};
        }
        case Unit::Kind::Snap: {
            auto it = state.snaps.find(unit.name);
            if (it == state.snaps.end())
                return std::unexpected(ModelError::message("Unknown Snap '" + unit.name + "'"));
            auto value = times(q, it->second);  // the stored snap stays for later events
            if (!value) return std::unexpected(std::move(value.error()));
            return gr_save(model, state, tt, event, std::move(*value), op, time);
        }
        case Unit::Kind::Phrase: {
            const EvalPhrase* phrase = tt.get_phrase(unit.name);
            if (phrase == nullptr)
                return std::unexpected(ModelError(ModelError::EventSpecs{"Phrase not found#" + unit.name}));
            auto v = [&] {
                PhraseOnChain on_chain(state.phrases_in_evaluation, unit.name);
                return phrase_value_1(model, state, tt, *phrase, time);
            }();
            if (!v) return std::unexpected(std::move(v.error()));
            auto value = times(q, std::move(*v));
            if (!value) return std::unexpected(std::move(value.error()));
            return gr_save(model, state, tt, event, std::move(*value), op, time);
        }
        case Unit::Kind::Batch:
            return std::unexpected(ModelError(ModelError::NotImplemented{"Batch unit: " + unit.name}));
    }
    return {};
}

}  // namespace

std::expected<Vec, ModelError> phrase_value_1(const FwdModel& model, const FwdModelStateGeneric& state,
                                              const TimeTable& tt, const EvalPhrase& phrase,
                                              std::int64_t time) {
    auto outputs = evaluate(model, state, tt, phrase, time);
    if (!outputs) return std::unexpected(std::move(outputs.error()));
    if (outputs->empty()) return std::unexpected(ModelError::message("No output from phrase"));
    return std::move(outputs->back());
}

std::expected<Vec, ModelError> times(const Vec& q, Vec value) {
    if (q.size() == 1) {
        const double f = q[0];
        for (double& x : value) x = f * x;
        return value;
    }
    if (q.size() == value.size()) {
        for (std::size_t i = 0; i < value.size(); ++i) value[i] = q[i] * value[i];
        return value;
    }
    auto out = mul(q, value);
    if (!out) return std::unexpected(ModelError::message(out.error().text()));
    return std::move(*out);
}

std::expected<void, ModelError> gr_save(const FwdModel& model, FwdModelStateGeneric& state,
                                        const TimeTable& tt, std::size_t event, Vec value, const Op& op,
                                        std::int64_t time) {
    if (op.kind != Op::Kind::Condition) {
        state.graph.save_pay(event, std::move(value));
        return {};
    }
    auto cond = name_value(model, state, tt, op.condition, time);
    if (!cond) return std::unexpected(std::move(cond.error()));
    state.graph.save_cond_pay(event, std::move(value), std::move(*cond));
    return {};
}

std::expected<void, ModelError> value_event(const FwdModel& model, FwdModelStateGeneric& state,
                                            const TimeTable& tt, std::size_t event, std::int64_t time,
                                            const Vec& q) {
    auto ok = value_unit(model, state, tt, event, time, q);
    if (!ok) return std::unexpected(event_error(tt, event, ok.error().text()));
    return {};
}

}  // namespace mirvon
