#include "arrow/output_batch.hpp"

#include <array>
#include <memory>

#include "core/errors.hpp"

namespace mirvon::arrow {

namespace {

// Schema nodes own their texts and their children.
struct SchemaData {
    std::string format;
    std::string name;
    std::vector<ArrowSchema*> child_ptrs;
    std::vector<std::unique_ptr<ArrowSchema>> children;
};

void release_schema(ArrowSchema* s) {
    auto* data = static_cast<SchemaData*>(s->private_data);
    for (auto& child : data->children)
        if (child->release != nullptr) child->release(child.get());
    delete data;
    s->release = nullptr;
}

void init_schema(ArrowSchema* s, std::string format, std::string name, std::int64_t flags) {
    auto* data = new SchemaData{std::move(format), std::move(name), {}, {}};
    *s = ArrowSchema{data->format.c_str(), data->name.c_str(), nullptr, flags, 0, nullptr,
                     nullptr, &release_schema, data};
}

// Array nodes own their buffers (as vectors) and their children.
struct ArrayData {
    std::vector<std::uint64_t> u64;
    std::vector<double> f64;
    std::array<const void*, 2> buffers{};
    std::vector<ArrowArray*> child_ptrs;
    std::vector<std::unique_ptr<ArrowArray>> children;
};

void release_array(ArrowArray* a) {
    auto* data = static_cast<ArrayData*>(a->private_data);
    for (auto& child : data->children)
        if (child->release != nullptr) child->release(child.get());
    delete data;
    a->release = nullptr;
}

void init_array(ArrowArray* a, ArrayData* data, std::int64_t length, std::int64_t n_buffers) {
    *a = ArrowArray{length, 0, 0, n_buffers, 0, data->buffers.data(), nullptr, nullptr,
                    &release_array, data};
}

}  // namespace

ExportedBatch export_u64_f64_batch(const std::string& u64_name, std::vector<std::uint64_t> u64_values,
                                   const std::string& f64_name, std::vector<double> f64_values) {
    if (u64_values.size() != f64_values.size())
        throw EngineAbort("output columns of different lengths");
    const auto rows = static_cast<std::int64_t>(u64_values.size());
    ExportedBatch out{};

    init_schema(&out.schema, "+s", "", 0);
    auto* sdata = static_cast<SchemaData*>(out.schema.private_data);
    const std::pair<const char*, const std::string*> fields[] = {{"L", &u64_name}, {"g", &f64_name}};
    for (const auto& [format, name] : fields) {
        auto child = std::make_unique<ArrowSchema>();
        init_schema(child.get(), format, *name, 0);  // flags 0: not nullable
        sdata->child_ptrs.push_back(child.get());
        sdata->children.push_back(std::move(child));
    }
    out.schema.n_children = 2;
    out.schema.children = sdata->child_ptrs.data();

    auto* adata = new ArrayData{};
    init_array(&out.array, adata, rows, 1);
    auto u64_child = std::make_unique<ArrowArray>();
    auto* u64_data = new ArrayData{};
    u64_data->u64 = std::move(u64_values);
    u64_data->buffers = {nullptr, u64_data->u64.data()};
    init_array(u64_child.get(), u64_data, rows, 2);
    auto f64_child = std::make_unique<ArrowArray>();
    auto* f64_data = new ArrayData{};
    f64_data->f64 = std::move(f64_values);
    f64_data->buffers = {nullptr, f64_data->f64.data()};
    init_array(f64_child.get(), f64_data, rows, 2);
    adata->child_ptrs = {u64_child.get(), f64_child.get()};
    adata->children.push_back(std::move(u64_child));
    adata->children.push_back(std::move(f64_child));
    out.array.n_children = 2;
    out.array.children = adata->child_ptrs.data();
    return out;
}

}  // namespace mirvon::arrow
