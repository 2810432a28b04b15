#!/usr/bin/env python3
"""Writes c_sdk.pyi, the type stubs of the c_sdk module, from the module's own
tables, so the stubs cannot drift from what the module registers:

  sdk_table.def       every module-level function: name, decoration, shape,
                      parameter names
  include/vycsdk.h    the C types of the TYPED and RESPONDING rows and of the
                      direct exports
  records.cpp         the record classes: methods, fields, writability
  *.cpp               the named bodies, whose converters are checked
  direct_exports.cpp  the names published under their own C names

    gen_stubs.py SOURCE_DIR OUTPUT
    gen_stubs.py --allowlist SOURCE_DIR OUTPUT   (stubtest's allowlist)

An OUTPUT of - writes to standard output.

Runs at build time with the interpreter the module is built for (3.8 and
later), so it uses the standard library only.  Anything it cannot read raises:
a stub that silently lost a function would be worse than a failed build.
"""
import os
import re
import sys

# ---- parameter and result types -------------------------------------------------

# Conversion kinds; anything else in a kind position is a literal type.
TEXT = "<text>"
INT = "<int>"
DOUBLE = "<double>"
BOOL = "<bool>"
REQUEST = "<request>"

# What each conversion accepts.  The decorator turns every str argument into
# ASCII bytes before a decorated function runs, so str is accepted there only
# where bytes is: text and requests.
ACCEPTS = {
    TEXT: "bytes | bytearray",
    REQUEST: "bytes | bytearray",
    INT: "SupportsInt",
    DOUBLE: "SupportsFloat | SupportsIndex",
    BOOL: "object",
}
ACCEPTS_DECORATED = dict(ACCEPTS, **{TEXT: "str | bytes | bytearray", REQUEST: "str | bytes | bytearray"})

C_PARAM_KINDS = {"const char *": TEXT, "int": INT, "double": DOUBLE, "bool": BOOL}
C_RESULTS = {"void": "None", "int": "int", "long long": "int", "double": "float", "const char *": "bytes"}

RESPONSE_PAIR = "tuple[int, bytes | None]"

# The named bodies of the table (bodies.hpp) fit no shape, so their types are
# stated here, one entry per body: the parameter kinds in Python order (checked
# against the row's parameter names and against the converters the body's
# source declares) and the result.  A kind that is not a conversion kind is
# the literal type of an object taken as it is.  A new BODY row without an
# entry stops the build.
BODIES = {
    "is_windows": ((), "bool"),
    "is_linux": ((), "bool"),
    "adapt_to_python3": (("Callable[..., _T]",), "Callable[..., _T]"),
    "c_status_ok": (("object",), "bool"),
    # A failing status is handed to py_vyi_strerror, which converts it to int.
    "c_status_fail": (("SupportsInt", "object"), "bool"),
    "current": ((TEXT, TEXT, BOOL), RESPONSE_PAIR),
    "get_serv_addr": ((TEXT,), "bytes | None"),
    "set_version": ((TEXT, TEXT), "None"),
    "algo_order_batch": ((REQUEST, TEXT, TEXT), RESPONSE_PAIR),
    "set_data_callback": (("Callable[[str, bytes], object] | None",), "None"),
}
CONVERTER_KINDS = {"TextArg": TEXT, "IntArg": INT, "DoubleArg": DOUBLE, "BoolArg": BOOL, "RequestArg": REQUEST}

# Module globals bound at import, in binding order, with their types (None:
# a module, re-exported).
GLOBALS = (
    ("functools", None),
    ("platform", None),
    ("CSDK_OPERATE_SUCCESS", "int"),
    ("vysdklogger", "logging.Logger"),
    ("IS_PY2", "bool"),
    ("IS_PY3", "bool"),
)
# The event callable py_vyi_set_data_callback stores: the global exists from
# its first call on (reading it before raises AttributeError), which a stub
# cannot say; host code that reads or rebinds it is typed by this.
CALLBACK_GLOBAL = ("f", "Callable[[str, bytes], object] | None")

# What the record classes refuse, stated so that type checkers refuse it too.
# A record answers every attribute read through its __getattr__ (from the
# mapping), so without these mypy finds each protocol member there (len(),
# dict(), list() accepted) and pyright takes __getitem__ for iteration and
# `in`.  None is also what an instance gives for each of these names, unless
# its mapping holds such a key.  A class that defines one keeps its own.
REFUSED = ("__iter__", "__len__", "__contains__", "__delitem__", "keys")

# Record class methods by the body that implements them (records.cpp).
RECORD_BODIES = {
    "init_body": "None",
    "lookup_body": "Any",
    "store_body": "None",
    "setattr_body": "None",
    "contains_body": "bool",
    "str_body": "str",
    "repr_body": "str",
}
RECORD_PARAM_TYPES = {"item": "Any", "value": "Any", "data": "Any", "key": "object"}


class TableError(Exception):
    pass


def read(source, name):
    with open(os.path.join(source, name), encoding="utf-8") as f:
        return f.read()


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def split_args(text):
    return [a.strip() for a in text.split(",") if a.strip()]


def unquote(names, where):
    out = []
    for n in names:
        m = re.fullmatch(r'"(\w+)"', n)
        if not m:
            raise TableError("%s: expected a quoted parameter name, got %r" % (where, n))
        out.append(m.group(1))
    return out


# ---- the header -------------------------------------------------------------------


def c_param(decl, where):
    """'const char *serv_id' -> ('const char *', 'serv_id')"""
    m = re.fullmatch(r"(.*?[\s*])(\w+)", decl.strip())
    if not m:
        raise TableError("%s: cannot read parameter %r" % (where, decl))
    ctype = re.sub(r"\s+", " ", m.group(1)).strip()
    ctype = re.sub(r"\s*\*", " *", ctype).replace("* *", "**").strip()
    return ctype, m.group(2)


def parse_header(text):
    """-> {name: (return type, [(c type, name), ...])} for the typed rows, and
    the names of the query and command rows."""
    text = strip_comments(text)
    typed = {}
    for m in re.finditer(r"\bX\(\s*([^,()]+?)\s*,\s*(\w+)\s*,\s*\(([^()]*)\)\s*,\s*\(((?:[^()]|\([^()]*\))*)\)\s*\)", text):
        ret, name, params = m.group(1).strip(), m.group(2), m.group(3).strip()
        ret = re.sub(r"\s*\*", " *", re.sub(r"\s+", " ", ret))
        plist = [] if params in ("", "void") else [c_param(p, name) for p in params.split(",")]
        typed[name] = (ret, plist)

    def listed(macro, letter):
        m = re.search(r"#define\s+%s\(%s\)((?:[^\n]*\\\n)*[^\n]*)" % (macro, letter), text)
        if not m:
            raise TableError("vycsdk.h: no %s list" % macro)
        return set(re.findall(r"\b%s\((\w+)\)" % letter, m.group(1)))

    if not typed:
        raise TableError("vycsdk.h: no typed rows found")
    return typed, listed("VYCSDK_QUERY_FUNCS", "Q"), listed("VYCSDK_COMMAND_FUNCS", "C")


# ---- the registration table ---------------------------------------------------------

ROW = re.compile(r"ROW\(\s*(\w+)\s*,\s*(ADAPT|PLAIN)\s*,\s*(\w+)\((.*)\)\s*\)\s*$")


def parse_table(text):
    rows = []
    for lineno, line in enumerate(strip_comments(text).splitlines(), 1):
        if not line.strip():
            continue
        m = ROW.match(line.strip())
        if not m:
            raise TableError("sdk_table.def:%d: cannot read %r" % (lineno, line.strip()))
        rows.append((m.group(1), m.group(2) == "ADAPT", m.group(3), split_args(m.group(4))))
    if not rows:
        raise TableError("sdk_table.def: no rows")
    return rows


def body_converters(sources, impl):
    """Converter kinds a named body declares, by variable name."""
    for text in map(strip_comments, sources):
        m = re.search(r"PyObject\s*\*\s*%s\s*\([^();{}]*\)[^();{}]*\{" % impl, text)
        if not m:
            continue
        depth, i = 1, m.end()
        while depth and i < len(text):
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            i += 1
        found = {}
        for decl in re.finditer(r"\b(%s)\s+([\w\s,]+);" % "|".join(CONVERTER_KINDS), text[m.end():i]):
            for var in split_args(decl.group(2)):
                found[var] = CONVERTER_KINDS[decl.group(1)]
        return found
    raise TableError("no source defines the body %s" % impl)


class Function:
    def __init__(self, name, params, kinds, result, decorated, required=None):
        self.name = name
        self.params = params
        self.kinds = kinds  # conversion kinds, or literal types
        self.result = result
        self.decorated = decorated
        self.required = len(params) if required is None else required


def functions(rows, typed, queries, commands, body_sources):
    out = []
    for name, decorated, shape, args in rows:
        where = "sdk_table.def: %s" % name
        if shape in ("QUERY", "COMMAND"):
            (lib,) = args
            if lib not in (queries if shape == "QUERY" else commands):
                raise TableError("%s: %s is not a %s row of vycsdk.h" % (where, lib, shape.lower()))
            out.append(Function(name, ["req"], [REQUEST], RESPONSE_PAIR if shape == "QUERY" else "int", decorated))
        elif shape in ("TYPED", "RESPONDING"):
            lib, params = args[0], unquote(args[1:], where)
            if lib not in typed:
                raise TableError("%s: %s is not a typed row of vycsdk.h" % (where, lib))
            ret, cparams = typed[lib]
            if shape == "RESPONDING":
                if [t for t, _ in cparams[-2:]] != ["void **", "int *"]:
                    raise TableError("%s: %s does not end in a response pair" % (where, lib))
                cparams, result = cparams[:-2], RESPONSE_PAIR
            else:
                result = C_RESULTS.get(ret)
            if result is None or len(cparams) != len(params):
                raise TableError("%s: %s does not match the row" % (where, lib))
            kinds = []
            for ctype, _ in cparams:
                if ctype not in C_PARAM_KINDS:
                    raise TableError("%s: no conversion for C type %r" % (where, ctype))
                kinds.append(C_PARAM_KINDS[ctype])
            out.append(Function(name, params, kinds, result, decorated))
        elif shape in ("BODY", "BODY_WITH_DEFAULT"):
            impl = args[0]
            required = int(args[1]) if shape == "BODY_WITH_DEFAULT" else None
            params = unquote(args[2:] if shape == "BODY_WITH_DEFAULT" else args[1:], where)
            if impl not in BODIES:
                raise TableError("%s: the body %s has no types in gen_stubs.py" % (where, impl))
            kinds, result = BODIES[impl]
            if len(kinds) != len(params):
                raise TableError("%s: the body %s takes %d parameters" % (where, impl, len(kinds)))
            declared = body_converters(body_sources, impl)
            for p, k in zip(params, kinds):
                if k in CONVERTER_KINDS.values() and declared.get(p) != k:
                    raise TableError("%s: %s converts %s as %s, not %s" % (where, impl, p, declared.get(p), k))
            out.append(Function(name, params, list(kinds), result, decorated, required))
        else:
            raise TableError("%s: unknown shape %s" % (where, shape))
    return out


# ---- direct exports and record classes ------------------------------------------------


def parse_exports(text, typed):
    names = re.findall(r"^\s*CSDK_EXPORT\((\w+)\),", strip_comments(text), flags=re.M)
    if not names:
        raise TableError("direct_exports.cpp: no CSDK_EXPORT rows")
    out = []
    for name in names:
        if name not in typed:
            raise TableError("direct_exports.cpp: %s is not a typed row of vycsdk.h" % name)
        ret, cparams = typed[name]
        kinds = [C_PARAM_KINDS.get(t) for t, _ in cparams]
        if None in kinds or ret not in C_RESULTS:
            raise TableError("direct_exports.cpp: no conversion for %s" % name)
        out.append(Function(name, [n for _, n in cparams], kinds, C_RESULTS[ret], False))
    return out


class RecordClass:
    def __init__(self, name, methods, fields, writable):
        self.name, self.methods, self.fields, self.writable = name, methods, fields, writable


def parse_records(text):
    text = strip_comments(text)
    sigs = {}
    for m in re.finditer(r"const Signature (\w+)\{\s*(nullptr|\"(\w+)\")\s*,\s*(\w+)\s*,\s*(\d+)\s*,\s*\{([^}]*)\}\s*\}", text):
        params = re.findall(r"&Names::(\w+)", m.group(6))
        if len(params) != int(m.group(5)):
            raise TableError("records.cpp: %s lists %s parameters" % (m.group(1), m.group(5)))
        sigs[m.group(1)] = (m.group(3), m.group(4), params)
    table = re.search(r"kClasses\[\w*\]\s*=\s*\{(.*?)\n\};", text, flags=re.S)
    if not sigs or not table:
        raise TableError("records.cpp: no signatures or no class table")
    classes = []
    entry = re.compile(r'\{\s*"(\w+)"\s*,\s*\{([^{}]*)\}\s*,\s*\{([^{}]*)\}\s*,\s*(true|false)\s*\}', re.S)
    for m in entry.finditer(table.group(1)):
        methods = []
        for ref in re.findall(r"&(\w+)", m.group(2)):
            if ref not in sigs or not sigs[ref][0]:
                raise TableError("records.cpp: %s names an unknown method %s" % (m.group(1), ref))
            methods.append(sigs[ref])
        fields = re.findall(r'"(\w+)"', m.group(3))
        classes.append(RecordClass(m.group(1), methods, fields, m.group(4) == "true"))
    if not classes:
        raise TableError("records.cpp: the class table has no rows")
    return classes


# ---- writing ---------------------------------------------------------------------


def refused(cls):
    own = {pyname for pyname, _, _ in cls.methods}
    return [name for name in REFUSED if name not in own]


def signature(fn, accepts, name=None):
    """The def line; name "__call__" makes it the call of a protocol."""
    params = []
    for i, (p, k) in enumerate(zip(fn.params, fn.kinds)):
        param = "%s: %s" % (p, accepts.get(k, k))
        if i >= fn.required:
            param += " = ..."
        params.append(param)
    # One parameter: a single positional argument, no keyword form.
    if len(params) == 1:
        params.append("/")
    if name == "__call__":
        params.insert(0, "self")
    return "def %s(%s) -> %s: ..." % (name or fn.name, ", ".join(params), fn.result)


def render(funcs, exports, records):
    lines = [
        "# c_sdk.pyi - generated at build time by scripts/gen_stubs.py from the",
        "# registration table, the library header, the record classes and the",
        "# direct exports.  Do not edit: change those tables.",
        "from __future__ import annotations",
        "",
    ]
    lines += sorted(["import logging"] + ["import %s as %s" % (n, n) for n, a in GLOBALS if a is None])
    lines += [
        "from typing import Any, Callable, Protocol, SupportsFloat, SupportsIndex, SupportsInt, TypeVar",
        "",
        '_T = TypeVar("_T")',
        "",
    ]
    lines += ["%s: %s" % (n, a) for n, a in GLOBALS if a is not None]
    lines.append("")
    for cls in records:
        lines.append("class %s:" % cls.name)
        lines.append("    __slots__ = [\"data\"]")
        lines.append("    data: Any")
        for pyname, body, params in cls.methods:
            if body not in RECORD_BODIES:
                raise TableError("records.cpp: no result type for %s" % body)
            typed = ["self"] + ["%s: %s" % (p, RECORD_PARAM_TYPES.get(p, "Any")) for p in params[1:]]
            lines.append("    def %s(%s) -> %s: ..." % (pyname, ", ".join(typed), RECORD_BODIES[body]))
        lines += ["    %s: None" % name for name in refused(cls)]
        for field in cls.fields:
            lines.append("    @property")
            lines.append("    def %s(self) -> Any: ..." % field)
            if cls.writable:
                lines.append("    @%s.setter" % field)
                lines.append("    def %s(self, value: Any) -> None: ..." % field)
        lines.append("")
    for fn in funcs:
        lines.append(signature(fn, ACCEPTS_DECORATED if fn.decorated else ACCEPTS))
    lines.append("")
    lines.append("__test__: dict[str, Any]")
    lines.append("%s: %s" % CALLBACK_GLOBAL)
    lines.append("")
    # A direct export is a callable object that does not bind as a method, not
    # a function: each is declared as an instance of its own call protocol.
    for fn in exports:
        lines.append("class _%s(Protocol):" % fn.name)
        lines.append("    " + signature(fn, ACCEPTS, "__call__"))
    lines.append("")
    for fn in exports:
        lines.append("%s: _%s" % (fn.name, fn.name))
    return "\n".join(lines) + "\n"


def load(source):
    """-> (module functions, direct exports, record classes)"""
    typed, queries, commands = parse_header(read(source, os.path.join("include", "vycsdk.h")))
    bodies = [read(source, name) for name in sorted(os.listdir(source)) if name.endswith(".cpp")]
    funcs = functions(parse_table(read(source, "sdk_table.def")), typed, queries, commands, bodies)
    exports = parse_exports(read(source, "direct_exports.cpp"), typed)
    return funcs, exports, parse_records(read(source, "records.cpp"))


def allowlist(source):
    """stubtest allowlist: the decorated functions without parameters, whose
    module-level name is the decorator's wrapper, which takes (*args,
    **kwargs) and leaves the count to the function it wraps, which takes none
    (the stub states what a call may pass); the refusals of the record
    classes and the event callable's global, which the stub declares and the
    classes and the freshly imported module do not have."""
    funcs, _, records = load(source)
    lines = ["# The decorator's wrapper takes (*args, **kwargs); the function it wraps takes none."]
    lines += ["vy.csdk.c_sdk.%s" % fn.name for fn in funcs if fn.decorated and not fn.params]
    lines.append("# Declared as None so that type checkers refuse them; the classes have none.")
    lines += ["vy.csdk.c_sdk.%s.%s" % (cls.name, name) for cls in records for name in refused(cls)]
    lines.append("# Bound by the first py_vyi_set_data_callback.")
    lines.append("vy.csdk.c_sdk.%s" % CALLBACK_GLOBAL[0])
    return "\n".join(lines) + "\n"


def generate(source):
    return render(*load(source))


def main(argv):
    make = generate
    if argv[1:2] == ["--allowlist"]:
        make, argv = allowlist, argv[1:]
    if len(argv) != 3:
        sys.stderr.write("usage: gen_stubs.py [--allowlist] SOURCE_DIR OUTPUT\n")
        return 2
    try:
        text = make(argv[1])
    except TableError as e:
        sys.stderr.write("gen_stubs.py: %s\n" % e)
        return 1
    if argv[2] == "-":
        sys.stdout.write(text)
        return 0
    # Written whole or not at all: a failed run leaves no half stub for the
    # build to take as current.
    tmp = argv[2] + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
