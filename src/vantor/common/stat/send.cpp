// The send path: _send_stat gates on statd_available, _prepare builds the line (with _build_tag
// for each tag), _after passes non-empty lines on, _send writes one datagram. When none of these
// steps is overridden the line goes from the arguments to ASCII bytes in one buffer.
#include "client.hpp"

namespace vantor::stat {

VANTOR_HOT void ValueText::set_ascii(const char* chars, Py_ssize_t length) {
    std::memcpy(chars_, chars, static_cast<std::size_t>(length));
    length_ = length;
}

PyObject* ValueText::as_object() {
    if (!text_) text_ = Ref::steal(PyUnicode_DecodeASCII(chars_, length_, nullptr));
    return text_.get();
}

VANTOR_HOT void ValueText::append_to(LineBuilder& line) {
    if (text_) return line.append_str(text_.get());
    line.append_ascii(chars_, length_);
}

VANTOR_HOT const char* ValueText::ascii(Py_ssize_t& length) const {
    if (!text_) {
        length = length_;
        return chars_;
    }
    if (!PyUnicode_IS_COMPACT_ASCII(text_.get())) return nullptr;
    length = PyUnicode_GET_LENGTH(text_.get());
    return ascii_chars(text_.get());
}

bool ValueText::several() {
    Py_ssize_t length;
    if (const char* chars = ascii(length)) return std::memchr(chars, '\n', static_cast<std::size_t>(length)) != nullptr;
    return PyUnicode_FindChar(text_.get(), '\n', 0, PyUnicode_GET_LENGTH(text_.get()), 1) >= 0;
}

namespace {

constexpr Param send_stat_params[] = {{"self"}, {"stat", "str"}, {"value", "str"}, {"tags", "Tags"}};
constexpr Param prepare_params[] = {{"self"}, {"stat", "str"}, {"value", "str"}, {"tags", "Tags"}};
constexpr Param build_tag_params[] = {{"self"}, {"tag", "str"}, {"value", "TagValue"}};
constexpr Param after_params[] = {{"self"}, {"data", "str"}};
constexpr Param send_params[] = {{"self"}, {"data", "str"}};

constexpr Signature send_stat_sig{"_send_stat", send_stat_params, "None"};
constexpr Signature prepare_sig{"_prepare", prepare_params, "str"};
constexpr Signature build_tag_sig{"_build_tag", build_tag_params, "str"};
constexpr Signature after_sig{"_after", after_params, "None"};
constexpr Signature send_sig{"_send", send_params, "None"};

// "tag=value", or the bare name for a false value.
void render_tag(LineBuilder& line, PyObject* tag, PyObject* value) {
    if (!PyUnicode_CheckExact(tag)) check_exact("tag", tag, &PyUnicode_Type);
    const bool present = truth_of(value);
    line.append_str(tag);
    if (!present) return;
    line.append_char('=');
    line.append_text_of(value);
}

// Renders the tags into the line. With our own _build_tag each tag goes straight into the line;
// an override is called for every tag first and its results are joined afterwards, as
// ",".join() of the rendered list does (a result that is not a str fails only at the join).
class TagRenderer {
public:
    TagRenderer(State* st, PyObject* self, LineBuilder& line, bool own_build_tag)
        : st_(st), self_(self), line_(line), own_(own_build_tag) {}

    // A tag that needs no Python code, written straight into the line with our own _build_tag;
    // false when it must go through add().
    bool add_plain(PyObject* tag, PyObject* value) {
        if (!own_ || !line_.append_plain_tag(tag, value, count_ > 0)) {
            all_plain_ = false;
            return false;
        }
        ++count_;
        return true;
    }
    // Every tag so far went through add_plain: no Python code has run.
    bool all_plain() const { return all_plain_; }

    void add(PyObject* tag, PyObject* value) {
        if (own_) {
            if (count_++ > 0) line_.append_char(',');
            return render_tag(line_, tag, value);
        }
        PyObject* args[] = {self_, tag, value};
        Ref result = call_method(st_->str__build_tag, args, 3);
        if (!rendered_) rendered_ = Ref::steal(PyList_New(0));
        require(PyList_Append(rendered_.get(), result.get()));
    }

    void finish() {
        if (!rendered_) return;
        const Py_ssize_t n = PyList_GET_SIZE(rendered_.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(rendered_.get(), i);
            if (!PyUnicode_Check(item)) {
                PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                             Py_TYPE(item)->tp_name);
                throw_error();
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) line_.append_char(',');
            line_.append_str(PyList_GET_ITEM(rendered_.get(), i));
        }
    }

private:
    State* st_;
    PyObject* self_;
    LineBuilder& line_;
    bool own_;
    Py_ssize_t count_ = 0;
    bool all_plain_ = true;
    Ref rendered_;  // list of the override's results
};

// Renders the tags into the line; true when no Python code ran on the way.
VANTOR_HOT bool render_tags(State* st, PyObject* self, LineBuilder& line, PyObject* tags, bool own_build_tag) {
    TagRenderer renderer(st, self, line, own_build_tag);
    if (PyDict_CheckExact(tags)) {
#ifndef Py_GIL_DISABLED
        RenderedTags& cache = st->rendered_tags;
        const Py_ssize_t start = line.ascii_length();
#endif
        const Py_ssize_t size = PyDict_GET_SIZE(tags);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(tags, &pos, &key, &value)) {
            if (renderer.add_plain(key, value)) continue;
            // Rendering may run Python code that changes the mapping; hold the pair meanwhile.
            Ref k = Ref::new_ref(key);
            Ref v = Ref::new_ref(value);
            renderer.add(k.get(), v.get());
            if (PyDict_GET_SIZE(tags) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw_error();
            }
        }
#ifndef Py_GIL_DISABLED
        // All plain: no code ran, so the dict is still the one rendered.
        const Py_ssize_t length = line.ascii_length() - start;
        if (renderer.all_plain() && length > 0 && length <= static_cast<Py_ssize_t>(sizeof(cache.text)) &&
            cache.basis.take_dict(tags)) {
            line.copy_ascii_tail(start, cache.text);
            cache.length = length;
        }
#endif
        renderer.finish();
        return renderer.all_plain();
    } else {
        PyObject* args[] = {tags};
        Ref items = call_method(st->str_items, args, 1);
        Ref it = Ref::steal(PyObject_GetIter(items.get()));
        while (PyObject* raw = PyIter_Next(it.get())) {
            Ref item = Ref::steal(raw);
            Ref pair[2];
            unpack_exact(item.get(), pair, 2);
            renderer.add(pair[0].get(), pair[1].get());
        }
        if (PyErr_Occurred()) throw_error();
    }
    renderer.finish();
    return false;
}

// The same, with a tags dict used again unchanged (tags kept in a constant, say) rendered once.
[[gnu::always_inline]] inline bool append_tags(State* st, PyObject* self, LineBuilder& line, PyObject* tags,
                                               bool own_build_tag) {
#ifndef Py_GIL_DISABLED
    const RenderedTags& cache = st->rendered_tags;
    if (own_build_tag && cache.length > 0 && cache.basis.holds(tags)) {
        line.append_ascii(cache.text, cache.length);
        return true;
    }
#endif
    return render_tags(st, self, line, tags, own_build_tag);
}

// What every line of one metric begins with: the prefix and its dot, the name, the tags and the
// colon. `view` is self's, or an empty one (every lookup is then made).
[[gnu::always_inline]] inline void prepare_head(State* st, PyObject* self, PyObject* stat, PyObject* tags,
                                                LineBuilder& line, View& view) {
    Ref prefix = view.read(self, &ClientView::prefix, st->str__prefix);
    // A str's truth test runs no Python code; any other object's may.
    if (!PyUnicode_CheckExact(prefix.get())) view.ran_code();
    if (truth_of(prefix.get())) {
        line.append_text_of(prefix.get());
        line.append_char('.');
    }
    line.append_str(stat);
    const bool plain_tags = tags == Py_None || PyDict_CheckExact(tags);
    if (truth_of(tags)) {
        // The truth test of a mapping that is not a dict is its own code (__len__, __bool__),
        // which may have installed a _build_tag of its own: decided after it.
        if (!plain_tags) view.ran_code();
        line.append_char(',');
        const bool own_build_tag =
            view.usable(self) ? view.build_tag_ours() : resolves_to(self, st->str__build_tag, st->fn_build_tag);
        if (!append_tags(st, self, line, tags, own_build_tag)) view.ran_code();
    } else if (!plain_tags) {
        view.ran_code();
    }
    line.append_char(':');
}

// The line of _prepare: the value text as it is.
void prepare_into(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags, LineBuilder& line,
                  View& view) {
    prepare_head(st, self, stat, tags, line, view);
    value.append_to(line);
}

[[noreturn]] void raise_line_feed(PyObject* line) {
    PyErr_Format(PyExc_ValueError,
                 "metric line contains a line feed, which would split it into several metrics: %R", line);
    throw_error();
}

// A line feed that the caller's text (prefix, name, tag names and values) put into a line would
// let that text inject metric lines of its own into the datagram: refused, and nothing is sent.
void refuse_line_feed(LineBuilder& line) {
    if (line.contains_line_feed()) raise_line_feed(line.to_str().get());
}

// The lines of one metric as our own _prepare makes them for the send path: one line per value
// text, joined by "\n", with the head rendered once (its tags cannot differ from line to line).
VANTOR_HOT void metric_lines_into(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags,
                                  LineBuilder& line, View& view) {
    prepare_head(st, self, stat, tags, line, view);
    const bool head_ascii = line.is_ascii();
    const Py_ssize_t head = line.ascii_length();
    value.append_to(line);
    // A line outside ASCII is kept as str pieces, and an allocation may run the collector's
    // finalizers: the view is checked again before it is used.
    if (!line.is_ascii()) view.ran_code();
    // One line, the common case: one scan of it.
    if (!line.contains_line_feed()) return;
    // A line feed in the caller's text, or between value texts (which may come with one in the
    // caller's text too: the first line tells).
    if (!value.several()) return refuse_line_feed(line);
    Py_ssize_t length;
    const char* text = value.ascii(length);
    if (text && head_ascii && line.is_ascii()) {
        // Each further line copies the head from the start of the buffer.
        line.truncate_ascii(head);
        const char* end = text + length;
        const char* feed = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(length)));
        line.append_ascii(text, feed - text);
        refuse_line_feed(line);
        while (feed != nullptr) {
            text = feed + 1;
            feed = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
            line.append_char('\n');
            line.append_own_start(head);
            line.append_ascii(text, (feed ? feed : end) - text);
        }
        return;
    }
    // A head or value text outside ASCII: the pieces as str, the head cut from the whole line.
    view.ran_code();
    Ref whole = line.to_str();
    PyObject* values = value.as_object();
    const Py_ssize_t head_length = PyUnicode_GET_LENGTH(whole.get()) - PyUnicode_GET_LENGTH(values);
    Ref head_text = Ref::steal(PyUnicode_Substring(whole.get(), 0, head_length));
    Ref newline = Ref::steal(PyUnicode_FromOrdinal('\n'));
    Ref texts = Ref::steal(PyUnicode_Split(values, newline.get(), -1));
    line.clear();
    const Py_ssize_t n = PyList_GET_SIZE(texts.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0) line.append_char('\n');
        line.append_str(head_text.get());
        line.append_str(PyList_GET_ITEM(texts.get(), i));
        if (i == 0) refuse_line_feed(line);
    }
}

// The lines of one metric through a subclass's _prepare: one call per value text. Each line is
// checked for line feeds as it comes; several are joined by "\n", leaving out an empty str (a
// _prepare that returns "" drops the metric, as _after drops an empty line).
Ref lines_through_prepare(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags) {
    auto prepare = [&](PyObject* text) {
        PyObject* args[] = {self, stat, text, tags};
        Ref line = call_method(st->str__prepare, args, 3, st->kw_tags);
        if (PyUnicode_Check(line.get()) &&
            PyUnicode_FindChar(line.get(), '\n', 0, PyUnicode_GET_LENGTH(line.get()), 1) >= 0)
            raise_line_feed(line.get());
        return line;
    };
    if (!value.is_exact_str() || !value.several()) return prepare(value.as_object());
    Ref newline = Ref::steal(PyUnicode_FromOrdinal('\n'));
    Ref texts = Ref::steal(PyUnicode_Split(value.as_object(), newline.get(), -1));
    Ref lines = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
        Ref line = prepare(PyList_GET_ITEM(texts.get(), i));
        if (!PyUnicode_Check(line.get()) || PyUnicode_GET_LENGTH(line.get()) != 0)
            require(PyList_Append(lines.get(), line.get()));
    }
    return Ref::steal(PyUnicode_Join(newline.get(), lines.get()));
}

void send_impl(State* st, PyObject* self, PyObject* data) {
    Ref sock = Ref::steal(PyObject_GetAttr(self, st->str__sock));
    Ref payload = Ref::steal(PyUnicode_AsASCIIString(data));
    Ref addr = Ref::steal(PyObject_GetAttr(self, st->str__addr));
    PyObject* args[] = {sock.get(), payload.get(), addr.get()};
    call_method(st->str_sendto, args, 3);
}

void call_send(State* st, PyObject* self, PyObject* data) {
    if (resolves_to(self, st->str__send, st->fn_send)) {
        check_exact("data", data, &PyUnicode_Type);
        return send_impl(st, self, data);
    }
    PyObject* args[] = {self, data};
    call_method(st->str__send, args, 2);
}

void after_impl(State* st, PyObject* self, PyObject* data) {
    if (require(PyObject_IsTrue(data))) call_send(st, self, data);
}

void call_after(State* st, PyObject* self, PyObject* line) {
    if (resolves_to(self, st->str__after, st->fn_after)) {
        check_exact("data", line, &PyUnicode_Type);
        return after_impl(st, self, line);
    }
    PyObject* args[] = {self, line};
    call_method(st->str__after, args, 2);
}

// The data of one metric for _after: its lines, through _prepare when a subclass replaced it.
Ref prepared_lines(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags) {
    if (resolves_to(self, st->str__prepare, st->fn_prepare) && value.is_exact_str()) {
        LineBuilder line;
        View none;
        metric_lines_into(st, self, stat, value, tags, line, none);
        return line.to_str();
    }
    return lines_through_prepare(st, self, stat, value, tags);
}

// The common case, no step overridden: the line's ASCII bytes go straight to sendto. The order
// of attribute reads and the errors are those of the step-by-step path.
VANTOR_HOT void send_direct(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags, View& view) {
    LineBuilder line;
    metric_lines_into(st, self, stat, value, tags, line, view);
    if (!view.usable(self)) {
        // Building the line ran code that changed the client: take the ordinary steps from here.
        Ref text = line.to_str();
        return call_after(st, self, text.get());
    }
    // Nothing has run since the check, so the view's values are current; where the view has no
    // value the ordinary lookups run, in the step-by-step order.
    const bool cached = view.sock() != nullptr && view.addr() != nullptr;
    Ref sock = cached ? Ref::new_ref(view.sock()) : Ref::steal(PyObject_GetAttr(self, st->str__sock));
    Ref payload = line.to_ascii_bytes();
    Ref addr = cached ? Ref::new_ref(view.addr()) : Ref::steal(PyObject_GetAttr(self, st->str__addr));
    PyObject* args[] = {sock.get(), payload.get(), addr.get()};
    call_method(st->str_sendto, args, 3);
}

VANTOR_HOT void send_stat_impl(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags, View& view) {
    Ref available = view.read(self, &ClientView::statd_available, st->str_statd_available);
    // A bool's truth test runs no Python code; any other object's may.
    if (!PyBool_Check(available.get())) view.ran_code();
    if (!truth_of(available.get())) return;
    if (value.is_exact_str() && view.usable(self) && view.line_steps_ours())
        return send_direct(st, self, stat, value, tags, view);

    Ref data = prepared_lines(st, self, stat, value, tags);
    call_after(st, self, data.get());
}

PyObject* send_stat_body(FunctionObject* f, BoundArgs& a) {
    ValueText value(a[2]);
    View view = view_of(state_of(f), a[0]);
    send_stat_impl(state_of(f), a[0], a[1], value, a[3], view);
    Py_RETURN_NONE;
}

PyObject* prepare_body(FunctionObject* f, BoundArgs& a) {
    ValueText value(a[2]);
    LineBuilder line;
    View none;
    prepare_into(state_of(f), a[0], a[1], value, a[3], line, none);
    return line.to_str().release();
}

PyObject* build_tag_body(FunctionObject*, BoundArgs& a) {
    if (!require(PyObject_IsTrue(a[2]))) return Py_NewRef(a[1]);  // the name itself, unchanged
    LineBuilder line;
    line.append_str(a[1]);
    line.append_char('=');
    line.append_text_of(a[2]);
    return line.to_str().release();
}

PyObject* after_body(FunctionObject* f, BoundArgs& a) {
    after_impl(state_of(f), a[0], a[1]);
    Py_RETURN_NONE;
}

PyObject* send_body(FunctionObject* f, BoundArgs& a) {
    send_impl(state_of(f), a[0], a[1]);
    Py_RETURN_NONE;
}

}  // namespace

VANTOR_HOT void call_send_stat(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags, View* given) {
    View looked_up;
    View& view = given ? *given : (looked_up = view_of(st, self));
    if (view.usable(self) && view.send_stat_ours()) return send_stat_impl(st, self, stat, value, tags, view);
    PyObject* args[] = {self, stat, value.as_object(), tags};
    call_method(st->str__send_stat, args, 3, st->kw_tags);
}

const FunctionDef send_stat_def{&send_stat_sig, send_stat_body, "StatClient._send_stat"};
const FunctionDef prepare_def{&prepare_sig, prepare_body, "StatClient._prepare"};
const FunctionDef build_tag_def{&build_tag_sig, build_tag_body, "StatClient._build_tag"};
const FunctionDef after_def{&after_sig, after_body, "StatClient._after"};
const FunctionDef send_def{&send_sig, send_body, "StatClient._send", "发送信息到statsd."};

}  // namespace vantor::stat
