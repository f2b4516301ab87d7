"""Translation-rule records and rule-table indexes."""
