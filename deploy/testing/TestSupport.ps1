# What the deployment scripts' tests share. Dot-source it in BeforeAll.
#
# Stand-ins for the Windows commands that PowerShell on Linux lacks, or has
# without their Windows parameters (its New-PSSessionOption has no WinRM
# options), declaring the parameters Microsoft documents for them, so that
# Mock can replace them and a misspelt parameter fails the test. They do
# nothing themselves: a test that reaches one without mocking it fails.
$windowsOnly = @{
    'New-ScheduledTaskAction'      = '[Parameter(Mandatory)][string]$Execute, [string]$Argument, [string]$WorkingDirectory, [string]$Id, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'New-ScheduledTaskPrincipal'   = '[string]$UserId, [string]$GroupId, [string]$LogonType, [string]$RunLevel, [string]$ProcessTokenSidType, [string[]]$RequiredPrivilege, [string]$Id, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'New-ScheduledTaskSettingsSet' = '[switch]$DisallowDemandStart, [switch]$DisallowHardTerminate, [string]$Compatibility, [timespan]$DeleteExpiredTaskAfter, [switch]$AllowStartIfOnBatteries, [switch]$Disable, [switch]$MaintenanceExclusive, [switch]$Hidden, [switch]$RunOnlyIfIdle, [timespan]$IdleWaitTimeout, [string]$NetworkId, [string]$NetworkName, [switch]$DisallowStartOnRemoteAppSession, [timespan]$MaintenancePeriod, [timespan]$MaintenanceDeadline, [switch]$StartWhenAvailable, [switch]$DontStopIfGoingOnBatteries, [switch]$WakeToRun, [timespan]$IdleDuration, [switch]$RestartOnIdle, [switch]$DontStopOnIdleEnd, [timespan]$ExecutionTimeLimit, [string]$MultipleInstances, [int]$Priority, [int]$RestartCount, [timespan]$RestartInterval, [switch]$RunOnlyIfNetworkAvailable, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'Register-ScheduledTask'       = '[string]$TaskName, [string]$TaskPath, $Action, [string]$Description, $Settings, $Trigger, [string]$User, [string]$Password, [string]$RunLevel, $Principal, $InputObject, [string]$Xml, [switch]$Force, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'Start-ScheduledTask'          = '[string]$TaskName, [string]$TaskPath, $InputObject, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'Stop-ScheduledTask'           = '[string]$TaskName, [string]$TaskPath, $InputObject, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'Get-ScheduledTask'            = '[string[]]$TaskName, [string[]]$TaskPath, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'Get-ScheduledTaskInfo'        = '[string]$TaskName, [string]$TaskPath, $InputObject, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'Unregister-ScheduledTask'     = '[string[]]$TaskName, [string[]]$TaskPath, $InputObject, [switch]$PassThru, $CimSession, [int]$ThrottleLimit, [switch]$AsJob'
    'New-PSSessionOption'          = '[int]$MaximumRedirection, [switch]$NoCompression, [switch]$NoMachineProfile, [cultureinfo]$Culture, [cultureinfo]$UICulture, [int]$MaximumReceivedDataSizePerCommand, [int]$MaximumReceivedObjectSize, [string]$OutputBufferingMode, [int]$MaxConnectionRetryCount, $ApplicationArguments, [int]$OpenTimeout, [int]$CancelTimeout, [int]$IdleTimeout, [string]$ProxyAccessType, [string]$ProxyAuthentication, [pscredential]$ProxyCredential, [switch]$SkipCACheck, [switch]$SkipCNCheck, [switch]$SkipRevocationCheck, [int]$OperationTimeout, [switch]$NoEncryption, [switch]$UseUTF16, [switch]$IncludePortInSPN'
    'Set-Acl'                      = '[string[]]$Path, $InputObject, [string[]]$LiteralPath, $AclObject, [string]$CentralAccessPolicy, [switch]$ClearCentralAccessPolicy, [switch]$Passthru, [string]$Filter, [string[]]$Include, [string[]]$Exclude'
    'Get-Acl'                      = '[string[]]$Path, $InputObject, [string[]]$LiteralPath, [switch]$Audit, [switch]$AllCentralAccessPolicies, [string]$Filter, [string[]]$Include, [string[]]$Exclude'
}
foreach ($name in $windowsOnly.Keys) {
    $found = Get-Command -Name $name -CommandType @('Cmdlet', 'Function') -ErrorAction Ignore
    $documented = [regex]::Matches($windowsOnly[$name], '\$(\w+)') | ForEach-Object { $_.Groups[1].Value }
    if (-not $found -or @($documented | Where-Object { -not $found.Parameters.ContainsKey($_) }).Count -gt 0) {
        $shouldProcess = if ($name -like 'Unregister-*' -or $name -eq 'Set-Acl') { 'SupportsShouldProcess' } else { '' }
        Set-Item -Path "function:global:$name" -Value ([scriptblock]::Create(
                "[CmdletBinding($shouldProcess)] param($($windowsOnly[$name])) throw '$name is a stand-in for Windows: mock it'"))
    }
}

# icacls, which the remote run calls on each computer.
if (-not (Get-Command -Name icacls.exe -ErrorAction Ignore)) {
    function global:icacls.exe { throw 'icacls.exe is a stand-in for Windows: mock it' }
}

# Runs PowerShell text in a new PowerShell process, as a deployment tool
# would run a script, and hands back its exit status and what it wrote to
# standard output and standard error, as lines without colour codes.
function Invoke-PowerShellProcess {
    param([string]$Command)
    $host_ = [Environment]::ProcessPath
    $arguments = @()
    if ((Split-Path -Leaf $host_) -like 'dotnet*') {
        $arguments += Join-Path $PSHOME 'pwsh.dll'
    }
    $encoded = [Convert]::ToBase64String([Text.Encoding]::Unicode.GetBytes(
            "`$PSStyle.OutputRendering = 'PlainText'`n$Command"))
    $arguments += '-NoProfile', '-NonInteractive', '-EncodedCommand', $encoded
    $errors = New-TemporaryFile
    try {
        $out = @(& $host_ @arguments 2>$errors.FullName)
        $status = $LASTEXITCODE
        $err = @(Get-Content -LiteralPath $errors.FullName | ForEach-Object { $_ -replace "`e\[[0-9;]*m", '' } |
                Where-Object { $_ -ne '' })
    } finally {
        Remove-Item -LiteralPath $errors.FullName -Force
    }
    [pscustomobject]@{ Status = $status; Out = @($out | ForEach-Object { "$_" }); Err = $err }
}

# A script run as AppLocker or WDAC would run an unsigned copy: in
# ConstrainedLanguage mode.
function Invoke-ConstrainedScript {
    param([string]$Script, [string]$Arguments = '')
    Invoke-PowerShellProcess ("`$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage'`n" +
        "& '$($Script.Replace("'", "''"))' $Arguments`nexit `$LASTEXITCODE")
}
