"""exec and exec_many, as every class offers them: the arguments are
checked and made into a request here, and each class serves it its way."""

from __future__ import annotations

from collections.abc import Iterable
from types import TracebackType
from typing import Self, TypeVar

from .request_lines import Command, Environment, PathName, Request, exec_many_request, exec_request
from .results import CommandResult

T = TypeVar("T")


class Commands:
    """Runs commands and waits for them; closes on leaving a `with` block."""

    def close(self, timeout: float | None = None) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def exec(self, command: Command, *, timeout: float | None = 30.0,
             cwd: PathName | None = None, check: bool = False,
             env: Environment | None = None) -> CommandResult:
        """Runs `command` (a shell line, or a list of arguments that is quoted
        for the shell) through the worker's shell.  `timeout` is the worker's
        limit for it in seconds (None: no limit), `cwd` its directory, `env`
        variables set for it alone (on top of the worker's environment); with
        `check`, a time-out raises CommandTimeout (a subprocess.TimeoutExpired)
        and a non-zero exit status CommandError (a CalledProcessError)."""
        return self._serve(exec_request(command, timeout, cwd, check, env))

    def exec_many(self, commands: Iterable[Command], *, timeout: float | None = 30.0,
                  cwd: PathName | None = None, check: bool = False,
                  env: Environment | None = None) -> list[CommandResult]:
        """Runs each command in turn, `timeout` applying to each; with
        `check`, the first failure raises CommandError or CommandTimeout once
        the whole batch has run."""
        return self._serve(exec_many_request(commands, timeout, cwd, check, env))

    def _serve(self, request: Request[T]) -> T:
        raise NotImplementedError


class AsyncCommands:
    """Runs commands from asyncio tasks; starts on entering an `async with`
    block and closes on leaving it."""

    async def start(self) -> None:
        raise NotImplementedError

    async def close(self, timeout: float | None = None) -> None:
        raise NotImplementedError

    async def __aenter__(self) -> Self:
        await self.start()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    async def exec(self, command: Command, *, timeout: float | None = 30.0,
                   cwd: PathName | None = None, check: bool = False,
             env: Environment | None = None) -> CommandResult:
        """As ShellWorker.exec, awaited."""
        return await self._serve(exec_request(command, timeout, cwd, check, env))

    async def exec_many(self, commands: Iterable[Command], *, timeout: float | None = 30.0,
                        cwd: PathName | None = None, check: bool = False,
                        env: Environment | None = None) -> list[CommandResult]:
        """As ShellWorker.exec_many, awaited."""
        return await self._serve(exec_many_request(commands, timeout, cwd, check, env))

    async def _serve(self, request: Request[T]) -> T:
        raise NotImplementedError
