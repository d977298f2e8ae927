"""docs/api.md stays whole: every class of the module with its base, every method and function
with its arguments as its signature names them."""

import re
from pathlib import Path

from tarvelo import cy_engine as ce

API = Path(__file__).resolve().parents[2] / "docs" / "api.md"


def class_sections(text):
    """The text under each class heading ("### `CyName`"), by class name."""
    parts = re.split(r"^### `(\w+)`$", text, flags=re.MULTILINE)
    return dict(zip(parts[1::2], parts[2::2]))


def documented_call(function):
    """How the reference writes a call: "CyBus.initialize_potentials(self, double complex[::1]
    potentials)" is written `initialize_potentials(potentials)`."""
    name, arguments = re.fullmatch(r"(?:\w+\.)?(\w+)\((.*)\)", function.__doc__).groups()
    names = [argument.split()[-1] for argument in arguments.split(", ")]
    return f"`{name}({', '.join(n for n in names if n != 'self')})`"


def test_every_class_method_and_function_is_documented():
    text = API.read_text(encoding="utf-8")
    sections = class_sections(text)
    classes = {name: value for name, value in vars(ce).items() if isinstance(value, type)}
    assert len(classes) == 36
    assert sorted(sections) == sorted(classes)
    for name, cls in classes.items():
        section = sections[name]
        assert f"Base: `{cls.__base__.__name__}`." in section, name
        for attribute, method in vars(cls).items():
            if not attribute.startswith("_"):
                assert documented_call(method) in section, f"{name}.{attribute}"
    functions = [value for name, value in vars(ce).items()
                 if callable(value) and not isinstance(value, type) and not name.startswith("_")]
    assert functions
    for function in functions:
        assert documented_call(function) in text, function.__name__
