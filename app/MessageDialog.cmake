# (empty)
