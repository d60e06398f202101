// The constructor: argument parsing with Python's own wording, conversion of each
// hyperparameter (absent: its default), and the text signature that shows them.
#include <algorithm>
#include <charconv>
#include <memory>
#include <new>
#include <string>

#include "bindings/convert.hpp"
#include "bindings/estimator.hpp"
#include "core/decimal.hpp"

namespace swarmix::py {

namespace {

ParamValue convert(const Param& p, PyObject* obj) {
  ParamValue v{};
  if (p.optional && obj == Py_None) {
    v.none = true;
    return v;
  }
  switch (p.kind) {
    case ParamKind::Count: v.count = to_count(obj, p.name); break;
    case ParamKind::Real: v.real = to_real(obj, p.name); break;
    case ParamKind::Bool: v.flag = to_bool(obj, p.name); break;
    case ParamKind::Choice: v.code = to_choice(obj, p.name, p.choices); break;
    case ParamKind::Rows: v.rows = std::make_shared<const Matrix>(to_matrix(obj, p.name)); break;
  }
  return v;
}

// A real default as the signature writes it: positional with at least one decimal ("0.1",
// "2.0"), or below 1e-3 in the shortest scientific form ("1e-4").
std::string real_text(double v) {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
  const std::string scientific(buf, end);  // shortest round trip, "1e-04"
  const std::size_t e = scientific.find('e');
  const int exponent = std::stoi(scientific.substr(e + 1));
  if (v != 0.0 && exponent < -3) return scientific.substr(0, e) + "e" + std::to_string(exponent);
  std::string text = decimal_text(v);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string default_text(const Param& p) {
  const ParamValue& v = p.default_value;
  if (v.none) return "None";
  switch (p.kind) {
    case ParamKind::Count: return std::to_string(v.count);
    case ParamKind::Real: return real_text(v.real);
    case ParamKind::Bool: return v.flag ? "True" : "False";
    case ParamKind::Choice: return std::string("\"") + p.choices[v.code] + "\"";
    case ParamKind::Rows: break;  // only None
  }
  return {};
}

}  // namespace

std::string text_signature(const ClassSpec& table) {
  std::string text = "(";
  for (const Param& p : table.params) text += std::string(p.name) + "=" + default_text(p) + ", ";
  return text + "random_state=None)";
}

void set_constructor_format(TypeInfo& info) {
  const ClassSpec& table = *info.table;
  info.ctor_format.push_back('|');
  for (const Param& p : table.params) {
    info.ctor_format += "O";
    info.ctor_keywords.push_back(const_cast<char*>(p.name));
  }
  info.ctor_format += "O:";
  info.ctor_format += table.name;
  info.ctor_keywords.push_back(const_cast<char*>("random_state"));
  info.ctor_keywords.push_back(nullptr);
}

PyObject* estimator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const TypeInfo& info = info_of(type);
    const ClassSpec& table = *info.table;
    PyObject* given[kMaxParams + 1] = {};
    static_assert(kMaxParams + 1 == 17);
    PyObject** g = given;
    // Python's own wording for missing, unknown, duplicated or surplus arguments. Pointers
    // beyond the format's length are never read.
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, info.ctor_format.c_str(),
                                     const_cast<char**>(info.ctor_keywords.data()), &g[0], &g[1], &g[2],
                                     &g[3], &g[4], &g[5], &g[6], &g[7], &g[8], &g[9], &g[10], &g[11], &g[12],
                                     &g[13], &g[14], &g[15], &g[16]))
      throw ErrorAlreadySet();
    ParamValue values[kMaxParams] = {};
    for (std::size_t i = 0; i < table.params.size(); ++i)
      values[i] = given[i] ? convert(table.params[i], given[i]) : table.params[i].default_value;
    PyObject* seed_obj = given[table.params.size()];
    Seed seed = seed_obj ? to_seed(seed_obj, "random_state") : std::nullopt;

    Ref self(type->tp_alloc(type, 0));
    if (!self) throw ErrorAlreadySet();
    Estimator* e = as_estimator(self.get());
    e->table = &table;
    e->borrow = 0;
    std::uninitialized_copy(values, values + kMaxParams, e->values);
    new (&e->random_state) Seed(seed);
    new (&e->fitted) Fitted();
    return self.release();
  });
}

}  // namespace swarmix::py
