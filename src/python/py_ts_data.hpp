// A backtest source backed by the caller's object: get_value(name, time).
#pragma once
#include "hist/ts_data.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

class TsDataPy final : public TsData {
public:
    TsDataPy(std::string base, PyObject* source) : base_(std::move(base)), source_(PyRef::borrow(source)) {}
    std::expected<double, ModelError> asset_value(const std::string& name, std::int64_t time) const override;

private:
    std::string base_;
    PyRef source_;
    mutable PyRef method_;
};

}  // namespace mirvon::py
