PROGRAM: str
USAGE: str

def run(argv: list[str] | None = None) -> int | None: ...
