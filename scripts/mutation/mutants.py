"""The mutants of one source file: small one-place changes a fault could make.

A file is read line by line. Comments, preprocessor lines and static_asserts
are never changed; string literals are changed only as texts. Each mutant
names its place (file, line, column), the original line and the change, so
that it can be applied to a copy of the file and shown to a reader.
"""

import re
import struct
from dataclasses import dataclass, field

# Folders of the module's own code. In host/ only the named constants and
# texts change: the records' layout is pinned by static_asserts.
MODULE_DIRS = ("module", "framework", "shader", "filter", "servers", "panels")
HOST_DIR = "host"
SOURCE_SUFFIXES = (".cpp", ".h")


@dataclass
class Mutant:
    path: str          # relative to the repository
    line: int          # 1-based
    column: int        # 0-based start of the changed text
    end: int           # 0-based end of the changed text
    replacement: str
    change: str        # e.g. "'<' -> '<='"
    original: str      # the whole original line, without its newline
    operator: str = ""  # the operator's name, one of OPERATORS
    key: str = field(default="")  # path | line text | change, stable across edits elsewhere

    def mutated_line(self):
        return self.original[: self.column] + self.replacement + self.original[self.end:]

    def where(self):
        return f"{self.path}:{self.line}"


TOKEN = re.compile(
    r"""
    (?P<string>"(?:[^"\\]|\\.)*")
  | (?P<char>'(?:[^'\\]|\\.)*')
  | (?P<number>0[xX][0-9a-fA-F]+[uUlL]*
      | (?:\d+\.\d*|\.\d+)(?:[eE][-+]?\d+)?[fFlL]?
      | \d+[eE][-+]?\d+[fFlL]?
      | \d+[uUlL]*)
  | (?P<ident>[A-Za-z_]\w*)
  | (?P<op>->|::|<<=|>>=|<=|>=|==|!=|&&|\|\||\+\+|--|\+=|-=|\*=|/=|\|=|&=|<<|>>|[-+*/%<>=!&|^~?:;,.(){}\[\]])
  | (?P<space>\s+)
    """,
    re.VERBOSE,
)


@dataclass
class Token:
    kind: str
    text: str
    start: int
    end: int


def tokenize(code):
    tokens = []
    for m in TOKEN.finditer(code):
        kind = m.lastgroup
        if kind != "space":
            tokens.append(Token(kind, m.group(), m.start(), m.end()))
    return tokens


def code_lines(text):
    """Yields (line number, line, code) with comments blanked out of `code`."""
    in_block = False
    for number, line in enumerate(text.splitlines(), 1):
        code = []
        i = 0
        quote = None
        while i < len(line):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    code.append("  ")
                    i += 2
                else:
                    code.append(" ")
                    i += 1
                continue
            if quote:
                code.append(c)
                if c == "\\" and i + 1 < len(line):
                    code.append(line[i + 1])
                    i += 2
                    continue
                if c == quote:
                    quote = None
                i += 1
                continue
            if c in "\"'":
                quote = c
            elif line.startswith("//", i):
                code.append(" " * (len(line) - i))
                break
            elif line.startswith("/*", i):
                in_block = True
                code.append("  ")
                i += 2
                continue
            code.append(c)
            i += 1
        yield number, line, "".join(code)


# --- the change operators -------------------------------------------------------

# The operators' names, as --operators takes them.
OPERATORS = (
    "literal", "boolean", "text", "relational", "equality", "logical", "arithmetic", "compound", "sign",
    "not", "condition", "controlled", "call", "assignment", "result",
    "constant", "truth", "or-operand",
)

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
EQUALITY = {"==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}
ARITHMETIC = {"+": "-", "-": "+", "*": "/", "/": "*", "&": "|", "|": "&"}
COMPOUND = {"+=": "-=", "-=": "+=", "*=": "/=", "/=": "*=", "|=": "&=", "&=": "|=", "++": "--", "--": "++"}
TEMPLATE_INNER = {"ident", "number"}
TEMPLATE_OPS = {"::", "*", "&", ",", "(", ")", "[", "]", "<", ">"}
OPERAND_END = {"ident", "number", "string", "char"}
NOT_OPERANDS = {"return", "case", "delete", "new", "throw", "sizeof", "const", "auto"}


def template_brackets(tokens):
    """Indices of '<' and '>' tokens that bracket template arguments."""
    brackets = set()
    for i, t in enumerate(tokens):
        if t.text != "<" or i in brackets:
            continue
        depth, j = 1, i + 1
        while j < len(tokens) and depth:
            u = tokens[j]
            if u.text == "<":
                depth += 1
            elif u.text == ">":
                depth -= 1
            elif u.text == ">>":
                depth -= 2
            elif not (u.kind in TEMPLATE_INNER or u.text in TEMPLATE_OPS):
                break
            j += 1
        if depth <= 0:
            brackets.add(i)
            brackets.add(j - 1)
    return brackets


def is_binary(tokens, i, code):
    """Whether tokens[i] is a binary operator written with spaces around it."""
    t = tokens[i]
    if i == 0 or i + 1 >= len(tokens):
        return False
    before, after = tokens[i - 1], tokens[i + 1]
    spaced = code[t.start - 1 : t.start] == " " and code[t.end : t.end + 1] == " "
    operand = (before.kind in OPERAND_END and before.text not in NOT_OPERANDS) or before.text in (")", "]")
    return spaced and operand and after.text not in (")", ";", ",")


def is_unary_minus(tokens, i):
    if tokens[i].text != "-" or i + 1 >= len(tokens):
        return False
    before = tokens[i - 1] if i else None
    follows_operand = before is not None and (
        (before.kind in OPERAND_END and before.text not in NOT_OPERANDS) or before.text in (")", "]")
    )
    return not follows_operand and (tokens[i + 1].kind in ("ident", "number") or tokens[i + 1].text == "(")


def matching_paren(tokens, i):
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == "(":
            depth += 1
        elif tokens[j].text == ")":
            depth -= 1
            if depth == 0:
                return j
    return None


def changed_literal(text):
    """Changed forms of a numeric literal: 0 and 1 swapped, else its last digit."""
    m = re.fullmatch(r"(0[xX][0-9a-fA-F]+|[0-9.]+(?:[eE][-+]?\d+)?)([uUlLfF]*)", text)
    if not m:
        return []
    body, suffix = m.groups()
    if body.lower().startswith("0x"):
        value = int(body, 16)
        if value in (0, 1):
            return [(f"0x{1 - value:X}" if len(body) > 3 else f"0x{1 - value}") + suffix]
        last = body[-1]
        digits = "0123456789ABCDEF" if last.isupper() or last.isdigit() else "0123456789abcdef"
        index = digits.index(last)
        return [body[:-1] + digits[index - 1 if last in "fF" else index + 1] + suffix]
    parts = re.fullmatch(r"([0-9.]+)([eE][-+]?\d+)?", body)
    mantissa, exponent = parts.group(1), parts.group(2) or ""
    if re.fullmatch(r"0+(\.0*)?", mantissa):
        one = "1" if "." not in mantissa else "1.0"
        return [one + body[len(mantissa):] + suffix]
    if re.fullmatch(r"1(\.0*)?", mantissa) and not exponent:
        zero = "0" if "." not in mantissa else "0.0"
        return [zero + suffix]
    # The last significant digit of the mantissa, one up (9 goes down).
    positions = [k for k, c in enumerate(mantissa) if c.isdigit()]
    k = positions[-1]
    if mantissa[k] == "0" and "." in mantissa:
        nonzero = [p for p in positions if mantissa[p] != "0"]
        k = nonzero[-1] if nonzero else k
    d = mantissa[k]
    new = str(int(d) - 1) if d == "9" else str(int(d) + 1)
    changed = mantissa[:k] + new + mantissa[k + 1:] + body[len(mantissa):]
    if same_value(body + suffix, changed + suffix):
        return []
    return [changed + suffix]


def same_value(a, b):
    """Two floating literals the compiler turns into the same value."""
    def value(text):
        plain = text.rstrip("uUlLfF")
        if not re.search(r"[.eE]", plain):
            return None
        v = float(plain)
        if text.endswith(("f", "F")):
            v = struct.unpack("f", struct.pack("f", v))[0]
        return v
    va, vb = value(a), value(b)
    return va is not None and va == vb


def changed_string(text):
    """A text emptied, and a text with its last character changed."""
    inner = text[1:-1]
    out = []
    if inner:
        out.append('""')
        last = inner[-1]
        if "\\" not in inner[-2:]:
            if last.isalpha():
                swapped = last.swapcase()
            elif last.isdigit():
                swapped = str((int(last) + 1) % 10)
            else:
                swapped = "X"
            out.append('"' + inner[:-1] + swapped + '"')
    return out


# --- named constants -------------------------------------------------------------

CONSTANT_DECLARATION = re.compile(r"^\s*(?:(?:inline|static)\s+)*constexpr\s+([\w:]+)\s+(k[A-Z]\w*)\s*=\s*(.+?);\s*$")


@dataclass
class Constant:
    name: str
    path: str
    value: object      # an int or a float, None where the value is not a plain literal
    group: list        # the names declared with it: consecutive lines of the same type


def literal_value(text):
    text = text.strip()
    try:
        return int(text.rstrip("uUlL"), 0)
    except ValueError:
        pass
    try:
        return float(text.rstrip("fFlL"))
    except ValueError:
        return None


def named_constants(sources):
    """name -> [Constant] over (path, text) pairs. A group is a run of
    consecutive declarations of one type: a comment, a blank line or any other
    line ends it."""
    table = {}
    for path, text in sources:
        group, group_type, last_line = None, None, None
        for number, _, code in code_lines(text):
            m = CONSTANT_DECLARATION.match(code)
            if not m:
                continue
            kind, name, value = m.groups()
            if group is None or kind != group_type or number != last_line + 1:
                group, group_type = [], kind
            group.append(name)
            last_line = number
            table.setdefault(name, []).append(Constant(name, path, literal_value(value), group))
    return table


def constant_named(constants, name, path):
    """The declaration of `name` a use in `path` means: its own file's, else the only one."""
    found = constants.get(name, [])
    own = [c for c in found if c.path == path]
    if own:
        return own[0]
    return found[0] if len(found) == 1 else None


def neighbour(constant):
    """The next constant of its group (the one before, for the last); None when it is alone."""
    group = constant.group
    if len(group) < 2:
        return None
    i = group.index(constant.name)
    return group[i + 1] if i + 1 < len(group) else group[i - 1]


COMPARISON = {"==", "!=", "<", "<=", ">", ">="}
OPERAND_FOLLOWS = {")", ";", "&&", "||", "?", ":", ",", "]", "}"}


def compared_operand(tokens, i):
    """The index of the constant a comparison at tokens[i] compares against on
    its right, a name (maybe qualified) or a number standing alone; else None."""
    j = i + 1
    while j + 1 < len(tokens) and tokens[j].kind == "ident" and tokens[j + 1].text == "::":
        j += 2
    if j >= len(tokens):
        return None
    t = tokens[j]
    named = t.kind == "ident" and re.fullmatch(r"k[A-Z]\w*", t.text)
    if not (named or t.kind == "number"):
        return None
    if j + 1 < len(tokens) and tokens[j + 1].text not in OPERAND_FOLLOWS:
        return None
    return j


# Operators of precedence at or below '|', where an operand of '|' ends.
OR_OPERAND_BOUNDS = {"|", "||", "&&", "?", ":", ",", ";", "=", "+=", "-=", "*=", "/=", "|=", "&=", "<<=", ">>=",
                     "{", "}", "return"}


def or_operand(tokens, i, step):
    """The index of the far end of the operand of '|' at tokens[i] on one side
    (step -1: the left, +1: the right); None where it does not end on this line."""
    opening, closing = (("(", "["), (")", "]")) if step > 0 else ((")", "]"), ("(", "["))
    depth, j = 0, i + step
    while 0 <= j < len(tokens):
        t = tokens[j].text
        if t in opening:
            depth += 1
        elif t in closing:
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and t in OR_OPERAND_BOUNDS:
            break
        j += step
    if not 0 <= j < len(tokens) or j == i + step:
        return None
    return j - step


DECLARATION_PREFIX = re.compile(r"^\s*((static|constexpr|const|inline|constinit)\s+)*[\w:<>]+[\s*&]+[\w]+$")
EXPRESSION_HEAD = r"[\w:.\[\]*&]+(?:->[\w:.\[\]*&]+)*(?:\([^()]*\))?(?:(?:\.|->)[\w\[\]]+)*"
CALL_STATEMENT = re.compile(r"^\s*(?!return\b|delete\b|throw\b|else\b)" + EXPRESSION_HEAD + r"\(.*\);\s*$")
ASSIGNMENT_STATEMENT = re.compile(r"^\s*(?!return\b|delete\b|throw\b)\*?[\w.\[\]]+(?:->[\w.\[\]]+)*(?:\.[\w\[\]]+)*\s*([-+*/|&]?=)[^=].*;\s*$")
STATEMENT_ENDS = (";", "{", "}", ":", ")")


def balanced(code):
    return code.count("(") == code.count(")") and code.count("{") == code.count("}")


def mutants_of_file(path, text, constants=None):
    """The mutants of one file; `constants` is named_constants() over every
    mutable file (without it, no constant is replaced by another)."""
    host_file = path.startswith(HOST_DIR + "/")
    constants = constants or {}
    mutants = []
    seen = set()
    previous_code = ";"

    def add(number, line, start, end, replacement, change, operator):
        mutated = line[:start] + replacement + line[end:]
        if mutated == line or (number, mutated) in seen:
            return
        seen.add((number, mutated))
        mutants.append(Mutant(path, number, start, end, replacement, change, line, operator))

    for number, line, code in code_lines(text):
        stripped = code.strip()
        if not stripped:
            continue
        if stripped.startswith("#") or "static_assert" in code or 'extern "C"' in code or "__attribute__" in code:
            previous_code = stripped
            continue
        tokens = tokenize(code)
        constants_only = host_file and "inline constexpr" not in code and not stripped.startswith("{")
        pure_virtual = re.search(r"\)\s*(const\s*)?=\s*0\s*;", code) is not None

        # Literals: numbers, booleans, texts.
        for i, t in enumerate(tokens):
            if t.kind == "number":
                prefix = code[: t.start]
                if prefix.rstrip().endswith("[") and DECLARATION_PREFIX.match(prefix.rstrip()[:-1]):
                    continue  # an array's declared size
                if constants_only or pure_virtual:
                    continue
                for replacement in changed_literal(t.text):
                    add(number, line, t.start, t.end, replacement, f"{t.text} -> {replacement}", "literal")
            elif t.kind == "ident" and t.text in ("true", "false") and not constants_only:
                other = "false" if t.text == "true" else "true"
                add(number, line, t.start, t.end, other, f"{t.text} -> {other}", "boolean")
            elif t.kind == "string" and not constants_only:
                for replacement in changed_string(t.text):
                    add(number, line, t.start, t.end, replacement, f"{t.text} -> {replacement}", "text")
        if host_file:
            previous_code = stripped
            continue

        # Operators.
        brackets = template_brackets(tokens)
        for i, t in enumerate(tokens):
            if t.kind != "op":
                continue
            if t.text in RELATIONAL and i not in brackets and i > 0:
                if t.text in ("<", ">") and not is_binary(tokens, i, code):
                    continue
                r = RELATIONAL[t.text]
                add(number, line, t.start, t.end, r, f"'{t.text}' -> '{r}'", "relational")
            elif t.text in EQUALITY or t.text in LOGICAL:
                r = EQUALITY.get(t.text) or LOGICAL[t.text]
                add(number, line, t.start, t.end, r, f"'{t.text}' -> '{r}'", "equality" if t.text in EQUALITY else "logical")
            elif t.text in ARITHMETIC and is_binary(tokens, i, code):
                r = ARITHMETIC[t.text]
                add(number, line, t.start, t.end, r, f"'{t.text}' -> '{r}'", "arithmetic")
            elif t.text in COMPOUND:
                r = COMPOUND[t.text]
                add(number, line, t.start, t.end, r, f"'{t.text}' -> '{r}'", "compound")
            elif is_unary_minus(tokens, i):
                add(number, line, t.start, t.end, "", "sign removed", "sign")
            elif t.text == "!" and i + 1 < len(tokens) and tokens[i + 1].text != "=":
                add(number, line, t.start, t.end, "", "'!' removed", "not")

        # Conditions negated; a controlled one-line statement deleted.
        for i, t in enumerate(tokens):
            if t.kind == "ident" and t.text in ("if", "while") and i + 1 < len(tokens) and tokens[i + 1].text == "(":
                close = matching_paren(tokens, i + 1)
                if close is None:
                    continue
                a, b = tokens[i + 1].end, tokens[close].start
                condition = line[a:b]
                # Negating `!x` is the same change as removing its '!', made below.
                if not re.fullmatch(r"!" + EXPRESSION_HEAD, condition):
                    add(number, line, a, b, "!(" + condition + ")", f"{t.text} condition negated", "condition")
                rest = code[tokens[close].end:].strip()
                if t.text == "if" and rest.endswith(";") and not rest.startswith(("{", "return")) and balanced(rest):
                    s = tokens[close].end + (len(code[tokens[close].end:]) - len(code[tokens[close].end:].lstrip()))
                    e = code.rstrip().rfind(";") + 1
                    add(number, line, s, e, ";", "controlled statement deleted", "controlled")
            elif t.kind == "ident" and t.text == "for" and i + 1 < len(tokens) and tokens[i + 1].text == "(":
                close = matching_paren(tokens, i + 1)
                semis = [j for j in range(i + 2, close or 0) if tokens[j].text == ";"]
                if close is not None and len(semis) == 2 and semis[1] > semis[0] + 1:
                    a, b = tokens[semis[0] + 1].start, tokens[semis[1] - 1].end
                    add(number, line, a, b, "!(" + line[a:b] + ")", "for condition negated", "condition")

        # Whole statements: a call or an assignment deleted, a result replaced.
        # Statements live in function bodies: indented once in a source file,
        # twice in a header (inline member functions).
        indent = len(code) - len(code.lstrip())
        in_body = indent >= (8 if path.endswith(".h") else 4)
        starts_statement = previous_code.endswith(STATEMENT_ENDS) or previous_code in ("else",)
        if in_body and starts_statement and balanced(stripped):
            end = code.rstrip().rfind(";") + 1
            declaration = DECLARATION_PREFIX.match(code.split("=")[0].rstrip()) is not None
            if CALL_STATEMENT.match(code) and not declaration:
                add(number, line, indent, end, ";", "call deleted", "call")
            elif ASSIGNMENT_STATEMENT.match(code) and not declaration:
                add(number, line, indent, end, ";", "assignment deleted", "assignment")
            m = re.match(r"^(\s*(?:if \(.*\)\s*)?return\s+)(.+);\s*$", code)
            if m and balanced(m.group(2)):
                value = m.group(2).strip()
                a = len(m.group(1))
                b = a + len(m.group(2))
                if value == "nullptr":
                    add(number, line, a, b, '"mutant"', "result nullptr -> a message", "result")
                elif value not in ("0", "{}", "false", "true", "*this") and not re.fullmatch(r"-?\d+", value):
                    add(number, line, a, b, "{}", f"result {value} -> {{}}", "result")

        # The constant of a comparison: another of its group in its place, or a
        # truth test for a comparison with a nonzero whole number (`== 1` -> `!= 0`).
        for i, t in enumerate(tokens):
            if t.kind != "op" or t.text not in COMPARISON or i in brackets or i == 0:
                continue
            if t.text in ("<", ">") and not is_binary(tokens, i, code):
                continue
            j = compared_operand(tokens, i)
            if j is None:
                continue
            operand = tokens[j]
            if operand.kind == "number":
                value = literal_value(operand.text) if not re.search(r"[.eE]", operand.text) else None
            else:
                constant = constant_named(constants, operand.text, path)
                value = constant.value if constant else None
                other = neighbour(constant) if constant else None
                if other:
                    add(number, line, operand.start, operand.end, other, f"'{operand.text}' -> '{other}'", "constant")
            if t.text in EQUALITY and isinstance(value, int) and value != 0:
                truth = "!= 0" if t.text == "==" else "== 0"
                compared = line[t.start:operand.end]
                add(number, line, t.start, operand.end, truth, f"'{compared}' -> '{truth}'", "truth")

        # One operand of a bitwise or dropped.
        for i, t in enumerate(tokens):
            if t.text != "|" or not is_binary(tokens, i, code):
                continue
            first, last = or_operand(tokens, i, -1), or_operand(tokens, i, +1)
            if first is None or last is None:
                continue
            add(number, line, tokens[first].start, tokens[i + 1].start, "", "left operand of '|' dropped", "or-operand")
            add(number, line, tokens[i - 1].end, tokens[last].end, "", "right operand of '|' dropped", "or-operand")
        previous_code = stripped

    counts = {}
    for m in mutants:
        base = f"{m.path} | {m.original.strip()} | {m.change}"
        counts[base] = counts.get(base, 0) + 1
        m.key = base if counts[base] == 1 else f"{base} #{counts[base]}"
    return mutants


def is_mutable_path(path):
    top = path.split("/", 1)[0]
    return path.endswith(SOURCE_SUFFIXES) and (top in MODULE_DIRS or top == HOST_DIR)
