"""The `orbisk` command: import, export, query and look after point stores."""
