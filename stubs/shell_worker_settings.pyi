output_limit: int
