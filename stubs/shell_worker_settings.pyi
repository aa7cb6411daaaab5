output_limit: int
exit_with_controller: bool
